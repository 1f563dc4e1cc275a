// The WOFF2 'glyf' transform undone (W3C WOFF2, sections 5.1 and 5.2): the
// 'glyf' and 'loca' tables rebuilt byte for byte as google/woff2's reference
// decoder (woff2_dec.cc, ReconstructGlyf) rebuilds them.
#pragma once

#include <cstdint>

#include "../sfnt/bytes.h"
#include "../sfnt/font_error.h"

namespace glyphward::woff2 {

struct ReconstructedGlyf {
  Bytes glyf;
  Bytes loca;
  uint16_t num_glyphs = 0;
  // 0: 'loca' holds uint16 offsets divided by two; 1: uint32 offsets.
  uint16_t index_format = 0;
};

// Rebuilds 'glyf' and 'loca' from the transformed 'glyf' table of a WOFF2
// font (already decompressed). `loca_length` is the 'loca' entry's
// origLength from the WOFF2 table directory, which must equal
// (indexFormat ? 4 : 2) * (numGlyphs + 1) as the reference requires.
// `max_glyf_length` bounds the rebuilt 'glyf': a stream that would rebuild
// more fails before allocating it.
//
// Rebuilt as the reference does: each glyph padded with zeros to four bytes;
// simple glyphs with flags repeated in runs of up to 255, each coordinate
// delta in zero, one or two bytes (the shortest), the bounding box from the
// bbox stream or computed from the points, OVERLAP_SIMPLE on the first
// point of glyphs marked in the overlapSimpleBitmap; composite glyphs copied
// from the composite stream with their instructions.
//
// `overlap_bitmap` false reads the table as google/woff2 up to 1.0.2 (Debian's
// woff2 package) does: the overlapSimpleBitmap is neither read nor checked,
// and no glyph gets OVERLAP_SIMPLE.
//
// One deliberate difference: where the reference would write short 'loca'
// offsets past 0x1FFFE (truncating them to 16 bits, a font no renderer
// accepts), this fails.
Result<ReconstructedGlyf> reconstruct_glyf(ByteView transformed, uint64_t loca_length,
                                           uint64_t max_glyf_length, bool overlap_bitmap = true);

}  // namespace glyphward::woff2
