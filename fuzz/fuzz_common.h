// Helpers shared by the libFuzzer targets: splitting an input into
// arguments, and invariants of written fonts checked against independent,
// deliberately naive re-implementations. A violated invariant traps, which
// libFuzzer reports as a crash with the input that caused it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "sfnt/bytes.h"
#include "sfnt/c2pa_table.h"
#include "sfnt/font_error.h"
#include "sfnt/manifest_operations.h"
#include "sfnt/sfnt_font.h"
#include "sfnt/utf8.h"
#include "sfnt/write_sfnt.h"

namespace fuzz {

using glyphward::Bytes;
using glyphward::ByteView;
using glyphward::FontTable;
using glyphward::SfntFont;
using glyphward::Tag;

#define FUZZ_CHECK(condition)      \
  do {                             \
    if (!(condition)) __builtin_trap(); \
  } while (0)

constexpr uint32_t kMagic = 0xB1B0AFBA;

// Writing copies every table; inputs whose tables (which may all cover the
// same bytes) add up to more than this are parsed but not written, so that a
// few kilobytes of directory cannot ask for gigabytes of output.
constexpr uint64_t kMaxWrittenBytes = uint64_t{8} << 20;

// Output storage that starts out as 0xA5 rather than zero, as the module's
// uninitialised bytes objects may: a byte the writer forgets to set shows.
class PoisonedOutput : public glyphward::OutputBuffer {
 public:
  uint8_t* allocate(size_t size) override {
    bytes_.assign(size, 0xA5);
    return bytes_.data();
  }

 private:
  Bytes bytes_;
};

// write_sfnt into poisoned storage, copied out.
inline glyphward::Result<Bytes> write_poisoned(const SfntFont& font) {
  PoisonedOutput out;
  glyphward::Result<ByteView> written = glyphward::write_sfnt(font, out);
  if (!written) return written.error();
  return Bytes(written->begin(), written->end());
}

// Consumes arguments from the front of the fuzzer's input.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t u8() {
    if (size_ == 0) return 0;
    const uint8_t v = data_[0];
    ++data_;
    --size_;
    return v;
  }
  uint16_t u16() { return static_cast<uint16_t>((u8() << 8) | u8()); }

  // Up to `n` bytes (fewer when the input runs out).
  ByteView take(size_t n) {
    n = std::min(n, size_);
    ByteView out(data_, n);
    data_ += n;
    size_ -= n;
    return out;
  }
  ByteView rest() { return take(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
};

inline uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// The SFNT checksum, one word at a time.
inline uint32_t naive_checksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; i += 4) {
    uint8_t word[4] = {0, 0, 0, 0};
    for (size_t j = 0; j < 4 && i + j < n; ++j) word[j] = p[i + j];
    sum += be32(word);
  }
  return sum;
}
inline uint32_t naive_checksum(ByteView b) { return naive_checksum(b.data(), b.size()); }

inline bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

inline bool is_tag(const uint8_t* p, const Tag& tag) { return std::memcmp(p, tag.data(), 4) == 0; }

inline uint64_t padded(uint64_t n) { return (n + 3) & ~uint64_t{3}; }

inline uint64_t written_size(const SfntFont& font) {
  uint64_t total = 12 + 16 * uint64_t{font.tables.size()};
  for (const FontTable& t : font.tables) total += padded(t.data.size());
  return total;
}

// Also leaves room for the one table that the writing operations may add
// (a font of 65535 tables plus a C2PA table is refused, needs megabytes of
// directory, and has its own unit tests).
inline bool small_enough_to_write(const SfntFont& font) {
  return written_size(font) <= kMaxWrittenBytes && font.tables.size() < 0xFFFF;
}

// The whole-font checksum test done the long way: copy the font, zero the
// first head record's adjustment field, sum, compare.
inline bool reference_checksum_valid(ByteView font) {
  if (font.size() < 12) return false;
  const uint16_t count = be16(font.data() + 4);
  if (font.size() < 12 + 16 * uint64_t{count}) return false;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* record = font.data() + 12 + 16 * i;
    if (!is_tag(record, glyphward::kHeadTag)) continue;
    const uint64_t offset = be32(record + 8), length = be32(record + 12);
    if (length < 12 || offset + 12 > font.size()) return false;
    const uint32_t adjustment = be32(font.data() + offset + 8);
    Bytes copy(font.begin(), font.end());
    std::memset(copy.data() + offset + 8, 0, 4);
    return adjustment == static_cast<uint32_t>(kMagic - naive_checksum(copy.data(), copy.size()));
  }
  return false;
}

// The tables of `font` in the order the writer lays them out.
inline std::vector<FontTable> in_tag_order(const SfntFont& font) {
  std::vector<FontTable> order = font.tables;
  std::stable_sort(order.begin(), order.end(), [](const FontTable& a, const FontTable& b) {
    return glyphward::tag_value(a.tag) < glyphward::tag_value(b.tag);
  });
  return order;
}

// Checks that `out` is exactly the writer's layout of `expected` (a table
// list in any order): header fields, contiguous 4-aligned tables with zero
// padding, correct record checksums, the tables' bytes (the adjusted head
// excepted in bytes 8..11) and the whole-font checksum.
inline void check_written(ByteView out, const SfntFont& expected) {
  const std::vector<FontTable> order = in_tag_order(expected);
  const uint64_t n = order.size();
  FUZZ_CHECK(out.size() == written_size(expected));
  const uint8_t* p = out.data();
  FUZZ_CHECK(be32(p) == expected.sfnt_version);
  FUZZ_CHECK(be16(p + 4) == n);
  uint16_t e = 0;
  while (e < 16 && (uint64_t{2} << e) <= n) ++e;
  FUZZ_CHECK(be16(p + 6) == static_cast<uint16_t>(16u << e));
  FUZZ_CHECK(be16(p + 8) == (n == 0 ? 0 : e));
  FUZZ_CHECK(be16(p + 10) == static_cast<uint16_t>(16 * n - (16u << e)));

  // The writer adjusts the last head table in output order.
  std::optional<size_t> adjusted;
  for (size_t i = 0; i < n; ++i) {
    if (order[i].tag == glyphward::kHeadTag) adjusted = i;
  }
  if (adjusted && order[*adjusted].data.size() < 12) adjusted.reset();

  uint64_t offset = 12 + 16 * n;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* record = p + 12 + 16 * i;
    const ByteView data = order[i].data;
    FUZZ_CHECK(is_tag(record, order[i].tag));
    FUZZ_CHECK(be32(record + 8) == offset);
    FUZZ_CHECK(be32(record + 12) == data.size());
    const uint8_t* table = p + offset;
    Bytes summed(data.begin(), data.end());
    if (order[i].tag == glyphward::kHeadTag && data.size() >= 12) std::memset(summed.data() + 8, 0, 4);
    FUZZ_CHECK(be32(record + 4) == naive_checksum(summed.data(), summed.size()));
    if (adjusted && *adjusted == i) {
      FUZZ_CHECK(std::memcmp(table, data.data(), 8) == 0);
      FUZZ_CHECK(std::memcmp(table + 12, data.data() + 12, data.size() - 12) == 0);
    } else {
      FUZZ_CHECK(data.empty() || std::memcmp(table, data.data(), data.size()) == 0);
    }
    for (uint64_t pad = data.size(); pad < padded(data.size()); ++pad) FUZZ_CHECK(table[pad] == 0);
    offset += padded(data.size());
  }
  FUZZ_CHECK(offset == out.size());
  if (adjusted) FUZZ_CHECK(naive_checksum(out) == kMagic);

  // The output reads back as the same tables in output order.
  glyphward::Result<SfntFont> reparsed = glyphward::parse_sfnt(out);
  FUZZ_CHECK(reparsed.ok());
  FUZZ_CHECK(reparsed->tables.size() == n);
  for (size_t i = 0; i < n; ++i) {
    FUZZ_CHECK(reparsed->tables[i].tag == order[i].tag);
    FUZZ_CHECK(reparsed->tables[i].data.size() == order[i].data.size());
  }
  glyphward::Result<bool> verified = glyphward::verify_font_checksum(out);
  FUZZ_CHECK(verified.ok());
  FUZZ_CHECK(*verified == reference_checksum_valid(out));
}

inline size_t count_tag(const SfntFont& font, const Tag& tag) {
  return static_cast<size_t>(
      std::count_if(font.tables.begin(), font.tables.end(), [&](const FontTable& t) { return t.tag == tag; }));
}

// `font` with every C2PA table removed and, when `c2pa` is given, one new
// C2PA table appended: what the writing operations hand to the writer.
inline SfntFont with_c2pa(const SfntFont& font, std::optional<ByteView> c2pa) {
  SfntFont edited;
  edited.sfnt_version = font.sfnt_version;
  for (const FontTable& t : font.tables) {
    if (t.tag != glyphward::kC2paTag) edited.tables.push_back(t);
  }
  if (c2pa) edited.tables.push_back({glyphward::kC2paTag, *c2pa});
  return edited;
}

// The first C2PA table of a written font, which holds exactly one.
inline ByteView only_c2pa_table(ByteView written) {
  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(written);
  FUZZ_CHECK(parsed.ok());
  FUZZ_CHECK(count_tag(*parsed, glyphward::kC2paTag) == 1);
  return glyphward::find_table(*parsed, glyphward::kC2paTag)->data;
}

// A C2PA table laid out as the system writes it: version 0.1, URI at 20,
// store right after it, empty parts written as absent.
inline Bytes expected_c2pa(ByteView uri, ByteView store) {
  Bytes t(20 + uri.size() + store.size(), 0);
  t[3] = 1;
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) t[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  };
  if (!uri.empty()) {
    put32(4, 20);
    t[8] = static_cast<uint8_t>(uri.size() >> 8);
    t[9] = static_cast<uint8_t>(uri.size());
  }
  if (!store.empty()) {
    put32(12, static_cast<uint32_t>(20 + uri.size()));
    put32(16, static_cast<uint32_t>(store.size()));
  }
  if (!uri.empty()) std::memcpy(t.data() + 20, uri.data(), uri.size());
  if (!store.empty()) std::memcpy(t.data() + 20 + uri.size(), store.data(), store.size());
  return t;
}

// Ranges are sorted by start, lie inside the font, and number 2 or 3.
inline void check_ranges_shape(const std::vector<glyphward::ExclusionRange>& ranges, size_t font_size) {
  FUZZ_CHECK(ranges.size() == 2 || ranges.size() == 3);
  for (size_t i = 0; i < ranges.size(); ++i) {
    FUZZ_CHECK(ranges[i].start <= font_size && ranges[i].length <= font_size - ranges[i].start);
    if (i > 0) FUZZ_CHECK(ranges[i - 1].start <= ranges[i].start);
  }
}

// Whether byte `position` lies in one of `ranges`.
inline bool in_ranges(const std::vector<glyphward::ExclusionRange>& ranges, uint64_t position) {
  for (const auto& r : ranges) {
    if (position >= r.start && position - r.start < r.length) return true;
  }
  return false;
}

}  // namespace fuzz
