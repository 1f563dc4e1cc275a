// The points of a simple glyph: decoded from the WOFF2 triplet encoding and
// written back in TrueType 'glyf' form the way google/woff2's reference
// decoder (woff2_dec.cc) writes them.
#pragma once

#include <cstdint>
#include <vector>

#include "../sfnt/bytes.h"

namespace glyphward::woff2 {

struct GlyphPoint {
  int32_t x;
  int32_t y;
  bool on_curve;
};

// Decodes `flags.size()` points from the flag bytes and the triplet bytes
// (W3C WOFF2, section 5.2, triplet encoding), appending them to `points`
// (absolute coordinates). Returns false when the triplets run out or a
// coordinate leaves the int32 range; sets `consumed` to the triplet bytes used.
bool decode_triplets(ByteView flags, ByteView triplets, std::vector<GlyphPoint>* points,
                     uint64_t* consumed);

// The exact size in bytes of the flags and coordinates that
// `write_glyph_points` writes for `points`.
uint64_t glyph_points_size(const std::vector<GlyphPoint>& points, bool overlap_simple);

// Writes the flags (with repeat runs of at most 255), then the x and then the
// y coordinates of `points` at `out`, which holds exactly
// glyph_points_size(points, overlap_simple) bytes. `overlap_simple` sets
// OVERLAP_SIMPLE on the first point's flag.
void write_glyph_points(const std::vector<GlyphPoint>& points, bool overlap_simple, uint8_t* out,
                        uint64_t size);

// xMin, yMin, xMax, yMax of `points` (all zero for no points), each kept to
// its low 16 bits as the reference decoder stores them.
struct GlyphBounds {
  uint16_t x_min, y_min, x_max, y_max;
};
GlyphBounds compute_bounds(const std::vector<GlyphPoint>& points);

}  // namespace glyphward::woff2
