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
// (W3C WOFF2, section 5.2, triplet encoding) into `points` (absolute
// coordinates; resized to the point count). Returns false when the triplets
// run out or a coordinate leaves the int32 range; sets `consumed` to the
// triplet bytes used.
bool decode_triplets(ByteView flags, ByteView triplets, std::vector<GlyphPoint>* points,
                     uint64_t* consumed);

// The flags of a simple glyph's points as the reference decoder writes them
// (runs of equal flags with REPEAT, at most 255 repeats a run), and the
// sizes of its x and y coordinate arrays.
struct EncodedFlags {
  Bytes flags;
  uint64_t x_size = 0;
  uint64_t y_size = 0;
  uint64_t size() const { return flags.size() + x_size + y_size; }
};
void encode_flags(const std::vector<GlyphPoint>& points, bool overlap_simple, EncodedFlags* out);

// Writes the flags, then the x and then the y coordinates of `points` at
// `out`, which holds exactly `encoded.size()` bytes.
void write_glyph_points(const std::vector<GlyphPoint>& points, const EncodedFlags& encoded, uint8_t* out,
                        uint64_t size);

// xMin, yMin, xMax, yMax of `points` (all zero for no points), each kept to
// its low 16 bits as the reference decoder stores them.
struct GlyphBounds {
  uint16_t x_min, y_min, x_max, y_max;
};
GlyphBounds compute_bounds(const std::vector<GlyphPoint>& points);

}  // namespace glyphward::woff2
