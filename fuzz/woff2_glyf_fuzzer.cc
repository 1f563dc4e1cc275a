// reconstruct_glyf and reconstruct_hmtx on arbitrary transformed tables. The
// first byte chooses how the 'loca' origLength is given (matching the input's
// header, so that the glyph streams are reached, or taken from the input);
// the rest is the transformed 'glyf' table. A success must give a 'loca' of
// the declared format and length whose offsets rise in multiples of four to
// the 'glyf' length, within the limit and within a bound linear in the input;
// then 'hmtx' is rebuilt from the input's tail and must have its exact size.
#include <cstdint>

#include "sfnt/reader.h"
#include "woff2/reconstruct_glyf.h"
#include "woff2/reconstruct_hmtx.h"

#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

namespace {

constexpr uint64_t kLimit = 1 << 22;

uint32_t loca_offset(const glyphward::Bytes& loca, bool long_offsets, uint64_t i) {
  const glyphward::ByteReader reader(loca);
  if (long_offsets) {
    uint32_t value = 0;
    FUZZ_CHECK(reader.u32_at(4 * i, &value));
    return value;
  }
  uint16_t value = 0;
  FUZZ_CHECK(reader.u16_at(2 * i, &value));
  return 2u * value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const glyphward::ByteView input(data + 1, size - 1);
  const glyphward::ByteReader reader(input);
  uint16_t num_glyphs = 0;
  uint16_t index_format = 0;
  uint64_t loca_length = 0;
  if ((data[0] & 1) == 0 && reader.u16_at(4, &num_glyphs) && reader.u16_at(6, &index_format)) {
    loca_length = uint64_t{index_format ? 4u : 2u} * (uint64_t{num_glyphs} + 1);
  } else {
    uint32_t declared = 0;
    if (reader.u32_at(0, &declared)) loca_length = declared;
  }
  auto result = glyphward::woff2::reconstruct_glyf(input, loca_length, kLimit);
  if (!result) {
    FUZZ_CHECK(!result.error().message().empty());
    return 0;
  }
  const glyphward::woff2::ReconstructedGlyf& out = *result;
  const bool long_offsets = out.index_format != 0;
  FUZZ_CHECK(out.loca.size() == loca_length);
  FUZZ_CHECK(out.loca.size() == (long_offsets ? 4u : 2u) * (uint64_t{out.num_glyphs} + 1));
  FUZZ_CHECK(out.glyf.size() <= kLimit);
  FUZZ_CHECK(out.glyf.size() % 4 == 0);
  // Per glyph at most 15 bytes more than the input bytes it used, five-fold
  // for points (one flag byte in, up to five bytes out).
  FUZZ_CHECK(out.glyf.size() <= 16 * uint64_t{out.num_glyphs} + 5 * input.size());
  uint32_t previous = 0;
  for (uint64_t i = 0; i <= out.num_glyphs; ++i) {
    const uint32_t offset = loca_offset(out.loca, long_offsets, i);
    FUZZ_CHECK(offset >= previous && offset % 4 == 0);
    previous = offset;
  }
  FUZZ_CHECK(previous == out.glyf.size());

  const uint32_t num_hmetrics = data[0] >> 1;
  auto hmtx = glyphward::woff2::reconstruct_hmtx(input.subview(input.size() / 2, input.size()), out.num_glyphs,
                                                 num_hmetrics, out.glyf, out.loca);
  if (hmtx) FUZZ_CHECK(hmtx->size() == 2 * (uint64_t{out.num_glyphs} + num_hmetrics));
  return 0;
}
