#include "glyph_points.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "../sfnt/invariant.h"
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

// The triplet bytes each flag value (low seven bits) takes.
constexpr unsigned triplet_size(unsigned flag) { return flag < 84 ? 1 : flag < 120 ? 2 : flag < 124 ? 3 : 4; }

int32_t with_sign(unsigned flag, int32_t magnitude) { return (flag & 1) ? magnitude : -magnitude; }

// The flag bits and byte count of one coordinate delta: zero takes no byte,
// -255..255 one byte (its magnitude, the sign in the flag), the rest two.
inline uint8_t delta_flag(int32_t delta, uint8_t short_bit, uint8_t same_bit, uint64_t* bytes) {
  if (delta == 0) return same_bit;
  if (delta > -256 && delta < 256) {
    *bytes += 1;
    return static_cast<uint8_t>(short_bit | (delta > 0 ? same_bit : 0));
  }
  *bytes += 2;
  return 0;
}

// Writes one coordinate delta as delta_flag counted it; the low 16 bits of
// a long one, as the reference decoder's Store16.
inline uint8_t* put_delta(uint8_t* at, int32_t delta) {
  if (delta == 0) return at;
  if (delta > -256 && delta < 256) {
    *at = static_cast<uint8_t>(delta < 0 ? -delta : delta);
    return at + 1;
  }
  const uint32_t bits = static_cast<uint32_t>(delta);
  at[0] = static_cast<uint8_t>(bits >> 8);
  at[1] = static_cast<uint8_t>(bits);
  return at + 2;
}

// A delta as the reference computes it in int: wraps like two's complement.
inline int32_t delta_of(int32_t to, int32_t from) {
  return static_cast<int32_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
}

}  // namespace

bool decode_triplets(ByteView flags, ByteView triplets, std::vector<GlyphPoint>* points,
                     uint64_t* consumed) {
  // Every point takes at least one triplet byte (the reference checks this
  // first), and all of them together no more than there are.
  if (flags.size() > triplets.size()) return false;
  uint64_t needed = 0;
  for (size_t i = 0; i < flags.size(); ++i) needed += triplet_size(flags[i] & 0x7f);
  ByteView in;
  if (!ByteReader(triplets).bytes_at(0, needed, &in)) return false;

  points->resize(flags.size());
  GlyphPoint* out = points->data();
  const uint8_t* b = in.data();
  int64_t x = 0;
  int64_t y = 0;
  for (size_t i = 0; i < flags.size(); ++i) {
    const unsigned flag = flags[i] & 0x7f;
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
    b += triplet_size(flag);
    x += dx;
    y += dy;
    // The reference fails on int overflow of either sum.
    if (x < std::numeric_limits<int32_t>::min() || x > std::numeric_limits<int32_t>::max() ||
        y < std::numeric_limits<int32_t>::min() || y > std::numeric_limits<int32_t>::max()) {
      return false;
    }
    out[i] = GlyphPoint{static_cast<int32_t>(x), static_cast<int32_t>(y), (flags[i] >> 7) == 0};
  }
  *consumed = needed;
  return true;
}

void encode_flags(const std::vector<GlyphPoint>& points, bool overlap_simple, EncodedFlags* out) {
  out->flags.clear();
  out->x_size = 0;
  out->y_size = 0;
  int last_flag = -1;
  unsigned repeat = 0;
  int32_t last_x = 0;
  int32_t last_y = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const GlyphPoint& p = points[i];
    uint8_t flag = p.on_curve ? kOnCurve : 0;
    if (overlap_simple && i == 0) flag |= kOverlapSimple;
    flag |= delta_flag(delta_of(p.x, last_x), kXShort, kXIsSameOrPositive, &out->x_size);
    flag |= delta_flag(delta_of(p.y, last_y), kYShort, kYIsSameOrPositive, &out->y_size);
    if (flag == last_flag && repeat != 255) {
      out->flags.back() |= kRepeat;  // the run's flag byte, its count not yet written
      ++repeat;
    } else {
      if (repeat != 0) out->flags.push_back(static_cast<uint8_t>(repeat));
      out->flags.push_back(flag);
      repeat = 0;
    }
    last_flag = flag;
    last_x = p.x;
    last_y = p.y;
  }
  if (repeat != 0) out->flags.push_back(static_cast<uint8_t>(repeat));
}

void write_glyph_points(const std::vector<GlyphPoint>& points, const EncodedFlags& encoded, uint8_t* out,
                        uint64_t size) {
  if (size != encoded.size()) GLYPHWARD_INVARIANT_FAILURE("glyph point layout computed wrongly");
  if (!encoded.flags.empty()) std::memcpy(out, encoded.flags.data(), encoded.flags.size());
  uint8_t* x_at = out + encoded.flags.size();
  uint8_t* y_at = x_at + encoded.x_size;
  uint8_t* const x_end = y_at;
  int32_t last_x = 0;
  int32_t last_y = 0;
  for (const GlyphPoint& p : points) {
    x_at = put_delta(x_at, delta_of(p.x, last_x));
    y_at = put_delta(y_at, delta_of(p.y, last_y));
    last_x = p.x;
    last_y = p.y;
  }
  // Both arrays end exactly where encode_flags said: no byte was written
  // outside `size`.
  if (x_at != x_end || y_at != out + size) GLYPHWARD_INVARIANT_FAILURE("glyph coordinates overran their layout");
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
