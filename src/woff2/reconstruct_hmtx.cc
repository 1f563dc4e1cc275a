#include "reconstruct_hmtx.h"

#include <string>
#include <vector>

#include "../sfnt/reader.h"
#include "stream_cursor.h"

namespace glyphward::woff2 {
namespace {

constexpr uint8_t kNoProportionalLsbs = 1 << 0;
constexpr uint8_t kNoMonospaceLsbs = 1 << 1;

FontError failure(const std::string& what) { return FontError::invalid_font("WOFF2 hmtx transform: " + what); }

// Each glyph's xMin as the reference decoder records it while rebuilding
// 'glyf': from the glyph header when numberOfContours, read unsigned, is
// not zero; otherwise 0.
Result<std::vector<uint16_t>> glyph_x_mins(uint32_t num_glyphs, ByteView glyf, ByteView loca) {
  const uint64_t entries = uint64_t{num_glyphs} + 1;
  const bool long_offsets = loca.size() == 4 * entries;
  if (!long_offsets && loca.size() != 2 * entries) {
    return failure("loca holds " + std::to_string(loca.size()) + " bytes, not 2 or 4 times " +
                   std::to_string(entries));
  }
  const ByteReader offsets(loca);
  const ByteReader outlines(glyf);
  std::vector<uint16_t> x_mins(num_glyphs, 0);
  for (uint32_t i = 0; i < num_glyphs; ++i) {
    uint64_t start = 0;
    uint64_t end = 0;
    if (long_offsets) {
      uint32_t a = 0, b = 0;
      offsets.u32_at(4 * uint64_t{i}, &a);
      offsets.u32_at(4 * uint64_t{i} + 4, &b);
      start = a;
      end = b;
    } else {
      uint16_t a = 0, b = 0;
      offsets.u16_at(2 * uint64_t{i}, &a);
      offsets.u16_at(2 * uint64_t{i} + 2, &b);
      start = 2 * uint64_t{a};
      end = 2 * uint64_t{b};
    }
    if (end <= start) continue;
    uint16_t contours = 0;
    if (!outlines.u16_at(start, &contours) || !outlines.u16_at(start + 2, &x_mins[i]) ||
        !outlines.has(start, end - start)) {
      return failure("glyph " + std::to_string(i) + " lies outside glyf");
    }
    if (contours == 0) x_mins[i] = 0;
  }
  return x_mins;
}

}  // namespace

Result<Bytes> reconstruct_hmtx(ByteView transformed, uint32_t num_glyphs, uint32_t num_hmetrics, ByteView glyf,
                               ByteView loca) {
  if (num_glyphs > 0xffff) return failure("numGlyphs above 65535");
  StreamCursor in(transformed);
  uint8_t flags = 0;
  if (!in.read_u8(&flags)) return failure("flags missing");
  if (flags & 0xfc) return failure("reserved flag bits set");
  const bool proportional_lsbs = (flags & kNoProportionalLsbs) == 0;
  const bool monospace_lsbs = (flags & kNoMonospaceLsbs) == 0;
  if (proportional_lsbs && monospace_lsbs) return failure("transformed but neither lsb array left out");
  if (num_hmetrics > num_glyphs) return failure("numberOfHMetrics above numGlyphs");
  if (num_hmetrics < 1) return failure("numberOfHMetrics is 0");

  Result<std::vector<uint16_t>> x_mins = glyph_x_mins(num_glyphs, glyf, loca);
  if (!x_mins) return x_mins.error();

  ByteView advances;
  if (!in.read_bytes(2 * uint64_t{num_hmetrics}, &advances)) return failure("advanceWidth array truncated");
  Bytes hmtx(2 * (size_t{num_glyphs} + num_hmetrics));
  ByteWriter out(hmtx.data(), hmtx.size());
  const ByteReader widths(advances);
  for (uint32_t i = 0; i < num_hmetrics; ++i) {
    uint16_t width = 0;
    widths.u16_at(2 * uint64_t{i}, &width);
    out.put_u16(4 * uint64_t{i}, width);
  }
  for (uint32_t i = 0; i < num_glyphs; ++i) {
    const bool stored = i < num_hmetrics ? proportional_lsbs : monospace_lsbs;
    uint16_t lsb = (*x_mins)[i];
    if (stored && !in.read_u16(&lsb)) return failure("lsb array truncated");
    const uint64_t at = i < num_hmetrics ? 4 * uint64_t{i} + 2 : 4 * uint64_t{num_hmetrics} + 2 * uint64_t{i - num_hmetrics};
    out.put_u16(at, lsb);
  }
  return hmtx;
}

}  // namespace glyphward::woff2
