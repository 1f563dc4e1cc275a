#include "glyph_points.h"

#include <algorithm>
#include <limits>

#include "../sfnt/reader.h"

namespace glyphward::woff2 {
namespace {

constexpr uint8_t kOnCurve = 1 << 0;
constexpr uint8_t kXShort = 1 << 1;
constexpr uint8_t kYShort = 1 << 2;
constexpr uint8_t kRepeat = 1 << 3;
constexpr uint8_t kXIsSameOrPositive = 1 << 4;
constexpr uint8_t kYIsSameOrPositive = 1 << 5;
constexpr uint8_t kOverlapSimple = 1 << 6;

int32_t with_sign(unsigned flag, int32_t magnitude) { return (flag & 1) ? magnitude : -magnitude; }

bool add_checked(int32_t a, int32_t b, int32_t* out) {
  const int64_t sum = int64_t{a} + b;
  if (sum < std::numeric_limits<int32_t>::min() || sum > std::numeric_limits<int32_t>::max()) return false;
  *out = static_cast<int32_t>(sum);
  return true;
}

// The flag byte of one point and the bytes its two coordinates take.
uint8_t point_flag(int32_t dx, int32_t dy, bool on_curve, bool first_overlap, unsigned* x_bytes,
                   unsigned* y_bytes) {
  uint8_t flag = on_curve ? kOnCurve : 0;
  if (first_overlap) flag |= kOverlapSimple;
  if (dx == 0) {
    flag |= kXIsSameOrPositive;
  } else if (dx > -256 && dx < 256) {
    flag |= kXShort | (dx > 0 ? kXIsSameOrPositive : 0);
    *x_bytes = 1;
  } else {
    *x_bytes = 2;
  }
  if (dy == 0) {
    flag |= kYIsSameOrPositive;
  } else if (dy > -256 && dy < 256) {
    flag |= kYShort | (dy > 0 ? kYIsSameOrPositive : 0);
    *y_bytes = 1;
  } else {
    *y_bytes = 2;
  }
  return flag;
}

// Writes one coordinate delta: nothing, its magnitude in one byte, or its low
// 16 bits (the reference decoder's Store16).
uint64_t put_delta(ByteWriter& out, uint64_t at, int32_t delta) {
  if (delta == 0) return at;
  if (delta > -256 && delta < 256) {
    *out.span(at, 1) = static_cast<uint8_t>(delta < 0 ? -delta : delta);
    return at + 1;
  }
  out.put_u16(at, static_cast<uint16_t>(static_cast<uint32_t>(delta)));
  return at + 2;
}

}  // namespace

bool decode_triplets(ByteView flags, ByteView triplets, std::vector<GlyphPoint>* points,
                     uint64_t* consumed) {
  const ByteReader in(triplets);
  // Every point takes at least one triplet byte.
  if (flags.size() > triplets.size()) return false;
  int32_t x = 0;
  int32_t y = 0;
  uint64_t at = 0;
  for (size_t i = 0; i < flags.size(); ++i) {
    const unsigned flag = flags[i] & 0x7f;
    const bool on_curve = (flags[i] >> 7) == 0;
    const unsigned size = flag < 84 ? 1 : flag < 120 ? 2 : flag < 124 ? 3 : 4;
    ByteView b;
    if (!in.bytes_at(at, size, &b)) return false;
    int32_t dx = 0;
    int32_t dy = 0;
    if (flag < 10) {
      dy = with_sign(flag, static_cast<int32_t>(((flag & 14) << 7) + b[0]));
    } else if (flag < 20) {
      dx = with_sign(flag, static_cast<int32_t>((((flag - 10) & 14) << 7) + b[0]));
    } else if (flag < 84) {
      const unsigned b0 = flag - 20;
      dx = with_sign(flag, static_cast<int32_t>(1 + (b0 & 0x30) + (b[0] >> 4)));
      dy = with_sign(flag >> 1, static_cast<int32_t>(1 + ((b0 & 0x0c) << 2) + (b[0] & 0x0f)));
    } else if (flag < 120) {
      const unsigned b0 = flag - 84;
      dx = with_sign(flag, static_cast<int32_t>(1 + ((b0 / 12) << 8) + b[0]));
      dy = with_sign(flag >> 1, static_cast<int32_t>(1 + (((b0 % 12) >> 2) << 8) + b[1]));
    } else if (flag < 124) {
      dx = with_sign(flag, static_cast<int32_t>((unsigned{b[0]} << 4) + (b[1] >> 4)));
      dy = with_sign(flag >> 1, static_cast<int32_t>(((b[1] & 0x0fu) << 8) + b[2]));
    } else {
      dx = with_sign(flag, static_cast<int32_t>((unsigned{b[0]} << 8) + b[1]));
      dy = with_sign(flag >> 1, static_cast<int32_t>((unsigned{b[2]} << 8) + b[3]));
    }
    at += size;
    if (!add_checked(x, dx, &x) || !add_checked(y, dy, &y)) return false;
    points->push_back(GlyphPoint{x, y, on_curve});
  }
  *consumed = at;
  return true;
}

uint64_t glyph_points_size(const std::vector<GlyphPoint>& points, bool overlap_simple) {
  uint64_t size = 0;
  int last_flag = -1;
  unsigned repeat = 0;
  int32_t last_x = 0;
  int32_t last_y = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    unsigned x_bytes = 0;
    unsigned y_bytes = 0;
    const GlyphPoint& p = points[i];
    // Deltas as the reference computes them, in int arithmetic: wrapping is
    // well defined here because both sides fit in int32 and we use int64.
    const int32_t dx = static_cast<int32_t>(int64_t{p.x} - last_x);
    const int32_t dy = static_cast<int32_t>(int64_t{p.y} - last_y);
    const uint8_t flag = point_flag(dx, dy, p.on_curve, overlap_simple && i == 0, &x_bytes, &y_bytes);
    size += x_bytes + y_bytes;
    if (flag == last_flag && repeat != 255) {
      ++repeat;
    } else {
      if (repeat != 0) ++size;
      ++size;
      repeat = 0;
    }
    last_flag = flag;
    last_x = p.x;
    last_y = p.y;
  }
  if (repeat != 0) ++size;
  return size;
}

void write_glyph_points(const std::vector<GlyphPoint>& points, bool overlap_simple, uint8_t* out,
                        uint64_t size) {
  ByteWriter writer(out, static_cast<size_t>(size));
  // First pass: the flags, and where the x and y coordinates start.
  uint64_t flag_at = 0;
  uint64_t x_size = 0;
  int last_flag = -1;
  unsigned repeat = 0;
  int32_t last_x = 0;
  int32_t last_y = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    unsigned x_bytes = 0;
    unsigned y_bytes = 0;
    const GlyphPoint& p = points[i];
    const int32_t dx = static_cast<int32_t>(int64_t{p.x} - last_x);
    const int32_t dy = static_cast<int32_t>(int64_t{p.y} - last_y);
    const uint8_t flag = point_flag(dx, dy, p.on_curve, overlap_simple && i == 0, &x_bytes, &y_bytes);
    x_size += x_bytes;
    if (flag == last_flag && repeat != 255) {
      *writer.span(flag_at - 1, 1) |= kRepeat;
      ++repeat;
    } else {
      if (repeat != 0) *writer.span(flag_at++, 1) = static_cast<uint8_t>(repeat);
      *writer.span(flag_at++, 1) = flag;
      repeat = 0;
    }
    last_flag = flag;
    last_x = p.x;
    last_y = p.y;
  }
  if (repeat != 0) *writer.span(flag_at++, 1) = static_cast<uint8_t>(repeat);
  // Second pass: the coordinates.
  uint64_t x_at = flag_at;
  uint64_t y_at = flag_at + x_size;
  last_x = 0;
  last_y = 0;
  for (const GlyphPoint& p : points) {
    x_at = put_delta(writer, x_at, static_cast<int32_t>(int64_t{p.x} - last_x));
    y_at = put_delta(writer, y_at, static_cast<int32_t>(int64_t{p.y} - last_y));
    last_x = p.x;
    last_y = p.y;
  }
  if (y_at != size) GLYPHWARD_INVARIANT_FAILURE("glyph point size computed wrongly");
}

GlyphBounds compute_bounds(const std::vector<GlyphPoint>& points) {
  int32_t x_min = 0, y_min = 0, x_max = 0, y_max = 0;
  if (!points.empty()) {
    x_min = x_max = points[0].x;
    y_min = y_max = points[0].y;
  }
  for (const GlyphPoint& p : points) {
    x_min = std::min(x_min, p.x);
    x_max = std::max(x_max, p.x);
    y_min = std::min(y_min, p.y);
    y_max = std::max(y_max, p.y);
  }
  return GlyphBounds{static_cast<uint16_t>(x_min), static_cast<uint16_t>(y_min), static_cast<uint16_t>(x_max),
                     static_cast<uint16_t>(y_max)};
}

}  // namespace glyphward::woff2
