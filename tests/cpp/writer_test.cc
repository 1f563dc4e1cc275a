#include "sfnt/write_sfnt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "allocation_guard.h"
#include "sfnt/checksum.h"
#include "test_support.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::FontErrorKind;
using glyphward::Result;
using glyphward::SfntFont;
using glyphward::Tag;
using glyphward::write_sfnt;
using gwtest::be16;
using gwtest::be32;
using gwtest::bytes_of;
using gwtest::naive_checksum;
using gwtest::RecordingOutput;
using gwtest::TableList;

constexpr uint32_t kMagic = 0xB1B0AFBA;

Bytes write_ok(const SfntFont& font) {
  Result<Bytes> written = write_sfnt(font);
  if (!written) {
    ADD_FAILURE() << written.error().message();
    return {};
  }
  return *written;
}

struct RecordView {
  Tag tag;
  uint32_t checksum, offset, length;
};

RecordView record(ByteView font, size_t i) {
  const size_t at = 12 + 16 * i;
  RecordView r;
  for (size_t b = 0; b < 4; ++b) r.tag[b] = font[at + b];
  r.checksum = be32(font, at + 4);
  r.offset = be32(font, at + 8);
  r.length = be32(font, at + 12);
  return r;
}

std::string tag_text(const Tag& tag) { return std::string(tag.begin(), tag.end()); }

// Structural checks every written font must pass: directory order equals
// data order, no gaps, zero padding, checksums of the data, exact length.
void expect_well_formed(ByteView out, const SfntFont& in) {
  const size_t n = in.tables.size();
  ASSERT_EQ(be16(out, 4), n % 65536);
  uint64_t expected_offset = 12 + 16 * n;
  const RecordView* head = nullptr;  // the last head in output order
  std::vector<RecordView> records;
  for (size_t i = 0; i < n; ++i) records.push_back(record(out, i));
  for (size_t i = 0; i < n; ++i) {
    const RecordView& r = records[i];
    ASSERT_EQ(r.offset, expected_offset) << "table " << i;
    ASSERT_EQ(r.offset % 4, 0u);
    if (i > 0) {
      ASSERT_LE(records[i - 1].tag, r.tag);  // tag order, bytes unsigned
    }
    Bytes data = gwtest::slice(out, r.offset, r.length);
    if (r.tag == glyphward::kHeadTag) {
      if (r.length >= 12) {
        for (size_t b = 8; b < 12; ++b) data[b] = 0;
      }
      head = &r;
    }
    EXPECT_EQ(r.checksum, naive_checksum(data)) << "table " << i;
    for (uint64_t p = r.offset + r.length; p < (r.offset + r.length + 3) / 4 * 4; ++p) {
      ASSERT_EQ(out[p], 0) << "padding byte " << p;
    }
    expected_offset += (uint64_t{r.length} + 3) / 4 * 4;
  }
  ASSERT_EQ(out.size(), expected_offset);
  if (head != nullptr && head->length >= 12) {
    EXPECT_EQ(naive_checksum(out), kMagic);
  }
}

TEST(WriteSfnt, EmptyListIsExactlyTheHeader) {
  TableList list;
  EXPECT_EQ(write_ok(list.font), bytes_of({0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0xFF, 0xF0}));
  TableList otto(0x4F54544F);
  EXPECT_EQ(write_ok(otto.font), bytes_of({'O', 'T', 'T', 'O', 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0xFF, 0xF0}));
}

struct HeaderCase {
  size_t tables;
  uint16_t search_range, entry_selector, range_shift;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.tables; }

class HeaderFields : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderFields, FollowTheFormula) {
  const HeaderCase& c = GetParam();
  TableList list(0x74727565);
  for (size_t i = 0; i < c.tables; ++i) {
    // Empty tables: the output is the header and directory alone.
    list.add(Tag{{'t', static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 'x'}}, {});
  }
  const Bytes out = write_ok(list.font);
  ASSERT_EQ(out.size(), 12 + 16 * c.tables);
  EXPECT_EQ(be32(out, 0), 0x74727565u);
  EXPECT_EQ(be16(out, 4), c.tables);
  EXPECT_EQ(be16(out, 6), c.search_range);
  EXPECT_EQ(be16(out, 8), c.entry_selector);
  EXPECT_EQ(be16(out, 10), c.range_shift);
  // Empty tables all sit at the end of the font with checksum 0.
  for (size_t i : {size_t{0}, c.tables - 1}) {
    const RecordView r = record(out, i);
    EXPECT_EQ(r.offset, out.size());
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(r.checksum, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, HeaderFields,
                         ::testing::Values(HeaderCase{1, 16, 0, 0}, HeaderCase{2, 32, 1, 0}, HeaderCase{3, 32, 1, 16},
                                           HeaderCase{5, 64, 2, 16}, HeaderCase{20, 256, 4, 64},
                                           HeaderCase{4095, 32768, 11, 32752}, HeaderCase{4096, 0, 12, 0},
                                           HeaderCase{4097, 0, 12, 16}, HeaderCase{65535, 0, 15, 0xFFF0}),
                         [](const ::testing::TestParamInfo<HeaderCase>& p) { return std::to_string(p.param.tables); });

TEST(WriteSfnt, FiveByteNameTable) {
  TableList list;
  list.add("name", bytes_of({1, 2, 3, 4, 5}));
  RecordingOutput out;
  Result<ByteView> written = write_sfnt(list.font, out);
  ASSERT_TRUE(written.ok()) << written.error().message();
  ASSERT_EQ(out.requests, std::vector<size_t>{36});
  const Bytes expected = bytes_of({0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00,  //
                                   'n',  'a',  'm',  'e',  0x06, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x1C,  //
                                   0x00, 0x00, 0x00, 0x05, 1,    2,    3,    4,    5,    0,    0,    0});
  EXPECT_EQ(Bytes(written->begin(), written->end()), expected);
  EXPECT_EQ(written->data(), out.bytes.data());  // the result views the buffer it was given
}

TEST(WriteSfnt, TablesAreLaidOutInTagOrder) {
  TableList list;
  list.add("head", gwtest::head_table()).add("C2PA", bytes_of({9})).add("cmap", bytes_of({1, 2, 3, 4, 5, 6}));
  list.add("OS/2", bytes_of({7, 7}));
  const Bytes out = write_ok(list.font);
  expect_well_formed(out, list.font);
  const char* order[] = {"C2PA", "OS/2", "cmap", "head"};
  const uint32_t offsets[] = {76, 80, 84, 92};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(tag_text(record(out, i).tag), order[i]);
    EXPECT_EQ(record(out, i).offset, offsets[i]);
  }
  EXPECT_EQ(gwtest::slice(out, 80, 2), bytes_of({7, 7}));
  EXPECT_EQ(gwtest::slice(out, 84, 6), bytes_of({1, 2, 3, 4, 5, 6}));
}

// Tags compare as unsigned bytes: 0x80.. and 0xFF sort after 'z', and
// control bytes before ' '. Equal tags keep their list order.
TEST(WriteSfnt, StableUnsignedTagOrderWithManyDuplicates) {
  const std::vector<Tag> tags = {gwtest::tag_of("glyf"), gwtest::tag_of("C2PA"), gwtest::tag_of("cvt "),
                                 gwtest::tag_of("cvt!"), Tag{{0xFF, 0, 0, 0}},   Tag{{0x80, 'a', 'b', 'c'}},
                                 Tag{{0x01, 'x', 'y', 'z'}}, Tag{{'g', 'l', 'y', 0xE9}}};
  std::mt19937 rng(6);
  TableList list;
  for (int i = 0; i < 600; ++i) {
    // Each table's bytes carry its list index so that order can be checked.
    Bytes data = bytes_of({i >> 8, i & 0xFF});
    data.resize(2 + rng() % 7, 0x5A);
    list.add(tags[rng() % tags.size()], data);
  }
  std::vector<size_t> expected(list.font.tables.size());
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = i;
  std::stable_sort(expected.begin(), expected.end(), [&](size_t a, size_t b) {
    return std::lexicographical_compare(list.font.tables[a].tag.begin(), list.font.tables[a].tag.end(),
                                        list.font.tables[b].tag.begin(), list.font.tables[b].tag.end());
  });
  const Bytes out = write_ok(list.font);
  expect_well_formed(out, list.font);
  for (size_t i = 0; i < expected.size(); ++i) {
    const RecordView r = record(out, i);
    ASSERT_EQ(r.tag, list.font.tables[expected[i]].tag) << i;
    ASSERT_EQ(be16(out, r.offset), expected[i]) << "position " << i;
  }
}

TEST(WriteSfnt, TableChecksums) {
  TableList list;
  list.add("aaaa", bytes_of({1, 2, 3})).add("bbbb", {}).add("cccc", bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2}));
  const Bytes out = write_ok(list.font);
  EXPECT_EQ(record(out, 0).checksum, 0x01020300u);
  EXPECT_EQ(record(out, 1).checksum, 0u);
  EXPECT_EQ(record(out, 1).length, 0u);
  EXPECT_EQ(record(out, 1).offset, record(out, 2).offset);  // an empty table takes no bytes
  EXPECT_EQ(record(out, 2).checksum, 1u);
  // No head: the bytes are written as they are and nothing is adjusted.
  EXPECT_EQ(out.size(), 12 + 48 + 4 + 8u);
  EXPECT_EQ(gwtest::slice(out, 64, 8), bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2}));
}

TEST(WriteSfnt, HeadAdjustmentMakesTheWholeFontSumToTheMagicNumber) {
  for (uint32_t input_adjustment : {0u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    TableList list;
    list.add("name", bytes_of({1, 2, 3, 4, 5})).add("head", gwtest::head_table(54, input_adjustment));
    list.add("zzzz", bytes_of({0xEE}));
    const Bytes out = write_ok(list.font);
    expect_well_formed(out, list.font);
    EXPECT_EQ(naive_checksum(out), kMagic);
    const RecordView head = record(out, 0);
    ASSERT_EQ(tag_text(head.tag), "head");
    Bytes zeroed = gwtest::head_table(54, 0);
    EXPECT_EQ(head.checksum, naive_checksum(zeroed));
    // Only the adjustment field differs from the input table.
    Bytes written_head = gwtest::slice(out, head.offset, 54);
    gwtest::put32(written_head, 8, 0);
    EXPECT_EQ(written_head, zeroed);
    // And the output does not depend on what the input's field held.
    TableList reference;
    reference.add("name", bytes_of({1, 2, 3, 4, 5})).add("head", gwtest::head_table(54, 0x12345678));
    reference.add("zzzz", bytes_of({0xEE}));
    EXPECT_EQ(out, write_ok(reference.font));
  }
}

TEST(WriteSfnt, RandomFontsWithHeadSumToTheMagicNumber) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    TableList list(round % 2 ? 0x4F54544F : 0x00010000);
    const int count = 1 + static_cast<int>(rng() % 12);
    const int head_at = static_cast<int>(rng() % count);
    for (int i = 0; i < count; ++i) {
      if (i == head_at) {
        list.add("head", gwtest::random_bytes(rng, 12 + rng() % 60));
      } else {
        Tag tag;
        for (uint8_t& b : tag) b = static_cast<uint8_t>('A' + rng() % 58);
        list.add(tag, gwtest::random_bytes(rng, rng() % 40));
      }
    }
    const Bytes out = write_ok(list.font);
    expect_well_formed(out, list.font);
    ASSERT_EQ(naive_checksum(out), kMagic) << "round " << round;
  }
}

TEST(WriteSfnt, ShortHeadGetsNoAdjustment) {
  for (size_t length : {0, 8, 11}) {
    TableList list;
    list.add("head", gwtest::head_table(length)).add("name", bytes_of({1, 2, 3, 4, 5}));
    const Bytes out = write_ok(list.font);
    expect_well_formed(out, list.font);
    const RecordView head = record(out, 0);
    EXPECT_EQ(gwtest::slice(out, head.offset, length), gwtest::head_table(length));
    EXPECT_EQ(head.checksum, naive_checksum(gwtest::head_table(length)));
  }
  // Exactly 12 bytes is long enough.
  TableList twelve;
  twelve.add("head", gwtest::head_table(12));
  const Bytes out = write_ok(twelve.font);
  EXPECT_EQ(naive_checksum(out), kMagic);
  EXPECT_EQ(record(out, 0).checksum, naive_checksum(gwtest::head_table(12, 0)));
}

TEST(WriteSfnt, OnlyTheLastHeadInOutputOrderIsAdjusted) {
  const Bytes first = gwtest::head_table(20, 0x11111111);
  Bytes second = gwtest::head_table(16, 0x22222222);
  second[0] = 0x99;
  TableList list;
  list.add("head", first).add("cmap", bytes_of({1, 2, 3})).add("head", second);
  const Bytes out = write_ok(list.font);
  ASSERT_EQ(tag_text(record(out, 1).tag), "head");
  ASSERT_EQ(tag_text(record(out, 2).tag), "head");
  EXPECT_EQ(gwtest::slice(out, record(out, 1).offset, 20), first);  // untouched, adjustment included
  EXPECT_EQ(record(out, 1).checksum, naive_checksum(gwtest::head_table(20, 0)));
  EXPECT_EQ(out[record(out, 2).offset], 0x99);
  EXPECT_NE(be32(out, record(out, 2).offset + 8), 0x22222222u);
  EXPECT_EQ(naive_checksum(out), kMagic);

  // When the last head is too short, nothing at all is adjusted.
  TableList short_last;
  short_last.add("head", first).add("head", gwtest::head_table(8));
  const Bytes out2 = write_ok(short_last.font);
  EXPECT_EQ(gwtest::slice(out2, record(out2, 0).offset, 20), first);
  EXPECT_EQ(gwtest::slice(out2, record(out2, 1).offset, 8), gwtest::head_table(8));
}

TEST(WriteSfnt, DeterministicAndLeavesItsInputAlone) {
  TableList list;
  list.add("zzzz", bytes_of({1})).add("head", gwtest::head_table()).add("C2PA", bytes_of({2, 3}));
  const Bytes head_before = gwtest::head_table();
  const std::vector<glyphward::FontTable> tables_before = list.font.tables;
  const Bytes a = write_ok(list.font);
  const Bytes b = write_ok(list.font);
  EXPECT_EQ(a, b);
  ASSERT_EQ(list.font.tables.size(), tables_before.size());
  for (size_t i = 0; i < tables_before.size(); ++i) {
    EXPECT_EQ(list.font.tables[i].tag, tables_before[i].tag);
    EXPECT_EQ(list.font.tables[i].data.data(), tables_before[i].data.data());
  }
  EXPECT_EQ(list.storage[1], head_before);
  // Both overloads write the same bytes, and every byte of the buffer is set.
  RecordingOutput out;
  Result<ByteView> view = write_sfnt(list.font, out);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(Bytes(view->begin(), view->end()), a);
}

TEST(SetTable, ReplacesEveryTableWithTheTagAndAppends) {
  TableList list;
  list.add("glyf", bytes_of({1})).add("C2PA", bytes_of({2})).add("cmap", bytes_of({3}));
  list.add("C2PA", bytes_of({4})).add("head", bytes_of({5})).add("C2PB", bytes_of({6}));
  Bytes fresh = bytes_of({7, 7, 7});
  const uint8_t* fresh_data = fresh.data();
  glyphward::set_table(list.font, glyphward::kC2paTag, std::move(fresh));
  const char* expected[] = {"glyf", "cmap", "head", "C2PB", "C2PA"};
  ASSERT_EQ(list.font.tables.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(tag_text(list.font.tables[i].tag), expected[i]);
  EXPECT_EQ(list.font.tables[0].data[0], 1);
  EXPECT_EQ(list.font.tables[1].data[0], 3);
  EXPECT_EQ(list.font.tables[2].data[0], 5);
  EXPECT_EQ(list.font.tables[3].data[0], 6);
  // The buffer is moved in, not copied.
  EXPECT_EQ(list.font.tables[4].data.data(), fresh_data);
  EXPECT_EQ(list.font.tables[4].data.size(), 3u);

  glyphward::remove_tables(list.font, glyphward::kC2paTag);
  ASSERT_EQ(list.font.tables.size(), 4u);
  EXPECT_EQ(tag_text(list.font.tables[3].tag), "C2PB");
}

// Tables installed earlier stay readable however many are added after them.
TEST(SetTable, EarlierInstalledTablesSurviveLaterOnes) {
  SfntFont font;
  for (int i = 0; i < 200; ++i) {
    glyphward::set_table(font, Tag{{'t', 'a', static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}},
                         Bytes(1 + i % 5, static_cast<uint8_t>(i)));
  }
  ASSERT_EQ(font.tables.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(font.tables[i].data.size(), 1u + i % 5);
    for (uint8_t b : font.tables[i].data) ASSERT_EQ(b, static_cast<uint8_t>(i));
  }
  glyphward::set_table(font, Tag{{'t', 'a', 0, 3}}, bytes_of({0xAB}));
  EXPECT_EQ(font.tables.size(), 200u);
  EXPECT_EQ(font.tables.back().data[0], 0xAB);
  EXPECT_EQ(font.tables[3].data[0], 4);
}

// Layouts the SFNT fields cannot express are refused from the sizes alone:
// no storage is requested and no table byte is read.

TEST(WriteSfntLimits, TooManyTablesIsRefusedBeforeAllocating) {
  TableList list;
  for (size_t i = 0; i < 65536; ++i) list.font.tables.push_back({gwtest::tag_of("abcd"), ByteView()});
  RecordingOutput out;
  Result<ByteView> written = write_sfnt(list.font, out);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind(), FontErrorKind::InvalidFont);
  EXPECT_TRUE(out.requests.empty());

  list.font.tables.pop_back();  // 65535 fit
  EXPECT_TRUE(write_sfnt(list.font, out).ok());
  EXPECT_EQ(out.requests.back(), 12 + 16 * 65535u);
}

struct LengthCase {
  const char* name;
  std::vector<uint64_t> sizes;
  uint64_t expected_total;  // 0: refused
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class WriteSfntLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(WriteSfntLength, IsCheckedOnPaddedSizes) {
  const LengthCase& c = GetParam();
  TableList list;
  for (size_t i = 0; i < c.sizes.size(); ++i) {
    list.font.tables.push_back({Tag{{'t', 'b', 'l', static_cast<uint8_t>('0' + i)}}, gwtest::fake_view(c.sizes[i])});
  }
  RecordingOutput out(/*refuse=*/true);
  if (c.expected_total == 0) {
    Result<ByteView> written = write_sfnt(list.font, out);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().kind(), FontErrorKind::InvalidFont);
    EXPECT_TRUE(out.requests.empty());
  } else {
    // Accepted: storage of exactly the total is requested before any table
    // byte is read; the refusing buffer ends the call there.
    EXPECT_THROW((void)write_sfnt(list.font, out), RecordingOutput::Refused);
    EXPECT_EQ(out.requests, std::vector<size_t>{static_cast<size_t>(c.expected_total)});
  }
}

constexpr uint64_t k4G = uint64_t{1} << 32;

INSTANTIATE_TEST_SUITE_P(
    Sizes, WriteSfntLength,
    ::testing::Values(
        // One table after a 28-byte header and directory.
        LengthCase{"largest_font", {0xFFFFFFFC - 28}, 0xFFFFFFFC},
        LengthCase{"padding_pushes_over", {0xFFFFFFFC - 28 + 1}, 0},
        LengthCase{"unpadded_fits_exactly", {0xFFFFFFFF - 28}, 0},
        LengthCase{"table_of_4G", {k4G}, 0},
        LengthCase{"two_tables_over", {0x80000000, 0x80000000}, 0},
        LengthCase{"two_tables_fit", {0x7FFFFFE0, 0x7FFFFFE0}, 12 + 32 + 0xFFFFFFC0},
        LengthCase{"huge", {uint64_t{1} << 62}, 0},
        // Sizes whose sum, or whose rounding up, wraps around 64 bits.
        LengthCase{"sum_wraps", {uint64_t{1} << 63, uint64_t{1} << 63}, 0},
        LengthCase{"rounding_wraps", {~uint64_t{0}}, 0},
        LengthCase{"rounding_wraps_minus_2", {~uint64_t{0} - 2}, 0}),
    [](const ::testing::TestParamInfo<LengthCase>& p) { return std::string(p.param.name); });

}  // namespace

namespace {

using glyphward::check_layout_with_table;
using glyphward::kC2paTag;

TEST(CheckLayoutWithTable, CountsEveryReplacedTableOnce) {
  TableList list;
  for (size_t i = 0; i < 65535; ++i) {
    list.font.tables.push_back({Tag{{'T', static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 'x'}}, ByteView()});
  }
  std::optional<glyphward::FontError> refused = check_layout_with_table(list.font, kC2paTag, 20);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->message(), "invalid font: font has 65536 tables; an SFNT font holds at most 65535");
  list.font.tables[7].tag = kC2paTag;  // now the new table replaces one
  EXPECT_FALSE(check_layout_with_table(list.font, kC2paTag, 20).has_value());
  list.font.tables[9].tag = kC2paTag;  // two old C2PA tables become one
  EXPECT_FALSE(check_layout_with_table(list.font, kC2paTag, 20).has_value());
}

TEST(CheckLayoutWithTable, TotalLengthFromSizesAlone) {
  TableList list;
  list.add("name", bytes_of({1, 2, 3, 4, 5}));
  // An old C2PA table of any size is replaced, so it does not count.
  list.font.tables.push_back({kC2paTag, gwtest::fake_view(uint64_t{1} << 40)});
  // 12 + 2 * 16 + 8 (name, padded) = 52 bytes before the new table.
  EXPECT_FALSE(check_layout_with_table(list.font, kC2paTag, 0xFFFFFFFF - 52 - 3).has_value());
  std::optional<glyphward::FontError> refused = check_layout_with_table(list.font, kC2paTag, 0xFFFFFFFF - 52 - 2);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->message(), "invalid font: font would be 4294967296 bytes; an SFNT font holds at most 4294967295");
  EXPECT_TRUE(check_layout_with_table(list.font, kC2paTag, ~uint64_t{0}).has_value());
  // Other tables whose sizes add up past 2^64 are refused too.
  list.font.tables.push_back({gwtest::tag_of("big1"), gwtest::fake_view(uint64_t{1} << 63)});
  list.font.tables.push_back({gwtest::tag_of("big2"), gwtest::fake_view(uint64_t{1} << 63)});
  EXPECT_TRUE(check_layout_with_table(list.font, kC2paTag, 20).has_value());
}

}  // namespace
