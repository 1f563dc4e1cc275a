#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_guard.h"
#include "sfnt/c2pa_table.h"
#include "sfnt/checksum.h"
#include "sfnt/manifest_operations.h"
#include "sfnt/write_sfnt.h"
#include "test_support.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::ComplianceReport;
using glyphward::DirectoryEntry;
using glyphward::ExclusionRange;
using glyphward::FontError;
using glyphward::FontErrorKind;
using glyphward::ManifestSource;
using glyphward::Result;
using gwtest::be16;
using gwtest::be32;
using gwtest::bytes_of;
using gwtest::naive_checksum;
using gwtest::Record;
using gwtest::RecordingOutput;

constexpr uint32_t kMagic = 0xB1B0AFBA;

Bytes write_tables(const std::vector<std::pair<std::string, Bytes>>& tables, uint32_t version = 0x00010000) {
  gwtest::TableList list(version);
  for (const auto& [tag, data] : tables) list.add(tag, data);
  Result<Bytes> written = glyphward::write_sfnt(list.font);
  if (!written) throw std::runtime_error(written.error().message());
  return *written;
}

// A small font in the writer's layout: tables of odd lengths, with or
// without a head table.
Bytes sample_font(bool with_head = true) {
  std::vector<std::pair<std::string, Bytes>> tables = {
      {"OS/2", Bytes(78, 0x22)}, {"cmap", bytes_of({0, 0, 0, 1, 0, 3, 0, 1, 0xAB})}, {"glyf", Bytes(333, 0x67)},
      {"name", gwtest::text_bytes("glyphward test")}, {"post", Bytes(32, 0x70)}};
  if (with_head) tables.push_back({"head", gwtest::head_table(54)});
  return write_tables(tables);
}

Bytes to_bytes(ByteView view) { return Bytes(view.begin(), view.end()); }

// Runs a font-producing operation into a fresh buffer.
template <class F>
Result<Bytes> produce(F operation) {
  glyphward::VectorOutput out;
  Result<ByteView> written = operation(out);
  if (!written) return written.error();
  return to_bytes(*written);
}

Result<Bytes> embed(ByteView font, std::optional<std::string_view> uri, std::optional<ByteView> store) {
  ManifestSource source;
  source.active_manifest_uri = uri;
  source.manifest_store = store;
  return produce([&](glyphward::OutputBuffer& out) { return glyphward::embed_manifest(font, source, out); });
}

Result<Bytes> reserve(ByteView font, uint64_t size, std::optional<std::string_view> uri = std::nullopt) {
  return produce(
      [&](glyphward::OutputBuffer& out) { return glyphward::reserve_manifest_placeholder(font, size, uri, out); });
}

Result<Bytes> fill(ByteView font, ByteView manifest) {
  return produce([&](glyphward::OutputBuffer& out) { return glyphward::fill_manifest_store(font, manifest, out); });
}

template <class T>
T ok(Result<T> result) {
  if (!result) throw std::runtime_error("unexpected error: " + result.error().message());
  return std::move(*result);
}

// The record of the first table tagged `tag` in the raw directory.
std::optional<DirectoryEntry> entry_of(ByteView font, std::string_view tag) {
  for (const DirectoryEntry& e : ok(glyphward::scan_table_directory(font))) {
    if (e.tag == gwtest::tag_of(tag)) return e;
  }
  return std::nullopt;
}

Bytes table_of(ByteView font, std::string_view tag) {
  const std::optional<DirectoryEntry> e = entry_of(font, tag);
  if (!e) throw std::runtime_error("no such table");
  return gwtest::slice(font, e->table_offset, e->table_length);
}

size_t count_tables(ByteView font, std::string_view tag) {
  size_t n = 0;
  for (const DirectoryEntry& e : ok(glyphward::scan_table_directory(font))) n += e.tag == gwtest::tag_of(tag);
  return n;
}

// Inputs that are not fonts, with the error parse_sfnt gives them.
struct NotAFont {
  Bytes bytes;
  FontError error;
};

std::vector<NotAFont> not_fonts() {
  Bytes woff2 = Bytes(64, 0x5A);
  woff2[0] = 'w', woff2[1] = 'O', woff2[2] = 'F', woff2[3] = '2';
  Bytes ttcf = Bytes(64, 0);
  ttcf[0] = 't', ttcf[1] = 't', ttcf[2] = 'c', ttcf[3] = 'f';
  Bytes truncated = bytes_of({0, 1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0});
  return {{bytes_of({1, 2, 3, 4, 5}), FontError::not_sfnt()},
          {woff2, FontError::woff_font()},
          {ttcf, FontError::font_collection()},
          {truncated, FontError::invalid_font("table directory truncated")}};
}

// ---------------------------------------------------------------- embedding

TEST(EmbedManifest, BothPartsUriFirstThenStore) {
  const Bytes font = sample_font();
  const Bytes store = bytes_of({0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70});
  const Bytes out = ok(embed(font, std::string_view("https://a/b"), ByteView(store)));
  const Bytes table = table_of(out, "C2PA");
  ASSERT_EQ(table.size(), 20 + 11 + 7u);
  EXPECT_EQ(gwtest::slice(table, 0, 20), bytes_of({0, 0, 0, 1, 0, 0, 0, 20, 0, 11, 0, 0, 0, 0, 0, 31, 0, 0, 0, 7}));
  EXPECT_EQ(gwtest::slice(table, 20, 11), gwtest::text_bytes("https://a/b"));
  EXPECT_EQ(gwtest::slice(table, 31, 7), store);
  EXPECT_EQ(naive_checksum(out), kMagic);
  // Every other table keeps its bytes.
  for (const char* tag : {"OS/2", "cmap", "glyf", "name", "post"}) EXPECT_EQ(table_of(out, tag), table_of(font, tag));
  EXPECT_EQ(*ok(glyphward::read_active_manifest_uri(out)), "https://a/b");
  EXPECT_EQ(to_bytes(ok(glyphward::read_manifest_store(out))), store);
}

TEST(EmbedManifest, NeitherPartFailsBeforeTheFontIsLookedAt) {
  std::vector<Bytes> inputs = {Bytes(), bytes_of({1, 2, 3}), sample_font()};
  for (const NotAFont& bad : not_fonts()) inputs.push_back(bad.bytes);
  for (const Bytes& input : inputs) {
    RecordingOutput out;
    Result<ByteView> result = glyphward::embed_manifest(input, ManifestSource{}, out);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(),
              "invalid C2PA table: manifest source has neither a URI nor an embedded store");
    EXPECT_TRUE(out.requests.empty());
  }
}

TEST(EmbedManifest, EmptyPartsCountAsPresentButAreWrittenAsAbsent) {
  const Bytes font = sample_font();
  const Bytes empty_table = bytes_of({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes with_store = ok(embed(font, std::nullopt, ByteView()));
  const Bytes with_uri = ok(embed(font, std::string_view(""), std::nullopt));
  EXPECT_EQ(table_of(with_store, "C2PA"), empty_table);
  EXPECT_EQ(with_uri, with_store);
  EXPECT_EQ(glyphward::read_manifest_store(with_store).error(),
            FontError::invalid_c2pa_table("C2PA table has no embedded manifest store"));
  EXPECT_FALSE(ok(glyphward::read_active_manifest_uri(with_store)).has_value());
}

TEST(EmbedManifest, ReplacesEveryC2paTableWithoutReadingThem) {
  const Bytes font = write_tables({{"C2PA", bytes_of({1, 2, 3})},
                                   {"C2PA", Bytes(40, 0xFF)},
                                   {"head", gwtest::head_table()},
                                   {"zzzz", bytes_of({9})}});
  const Bytes store = bytes_of({0xAA});
  const Bytes out = ok(embed(font, std::nullopt, ByteView(store)));
  EXPECT_EQ(count_tables(out, "C2PA"), 1u);
  EXPECT_EQ(table_of(out, "C2PA"), bytes_of({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 1, 0xAA}));
  EXPECT_EQ(table_of(out, "zzzz"), bytes_of({9}));

  const Bytes removed = ok(produce([&](glyphward::OutputBuffer& o) { return glyphward::remove_manifest_table(font, o); }));
  EXPECT_EQ(count_tables(removed, "C2PA"), 0u);
  EXPECT_EQ(removed, write_tables({{"head", gwtest::head_table()}, {"zzzz", bytes_of({9})}}));
  // Removal from a font without C2PA table rewrites it in the writer's layout.
  const Bytes sample = sample_font();
  EXPECT_EQ(ok(produce([&](glyphward::OutputBuffer& o) { return glyphward::remove_manifest_table(sample, o); })),
            sample);
}

TEST(EmbedManifest, ParseFailuresPassThrough) {
  const Bytes store = bytes_of({1});
  const std::string too_long(65536, 'u');
  for (const NotAFont& bad : not_fonts()) {
    EXPECT_EQ(embed(bad.bytes, std::nullopt, ByteView(store)).error(), bad.error);
    // The font is parsed before the URI's size is looked at.
    EXPECT_EQ(embed(bad.bytes, std::string_view(too_long), std::nullopt).error(), bad.error);
    EXPECT_EQ(produce([&](glyphward::OutputBuffer& o) { return glyphward::remove_manifest_table(bad.bytes, o); })
                  .error(),
              bad.error);
  }
}

TEST(EmbedManifest, OversizedUriIsRefusedBeforeWriting) {
  const Bytes font = sample_font();
  const std::string too_long(65536, 'u');
  RecordingOutput out;
  ManifestSource source;
  source.active_manifest_uri = std::string_view(too_long);
  Result<ByteView> refused = glyphward::embed_manifest(font, source, out);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            FontError::invalid_c2pa_table("active manifest URI is 65536 bytes; a C2PA table holds at most 65535"));
  EXPECT_TRUE(out.requests.empty());

  const std::string longest(65535, 'u');
  const Bytes written = ok(embed(font, std::string_view(longest), std::nullopt));
  EXPECT_EQ(ok(glyphward::read_active_manifest_uri(written))->size(), 65535u);
}

// ----------------------------------------------------------- compliance

struct ComplianceCase {
  const char* name;
  std::optional<Bytes> c2pa;  // table bytes, or no C2PA table
  bool with_head;
  ComplianceReport expected;
};

void PrintTo(const ComplianceCase& c, std::ostream* os) { *os << c.name; }

class Compliance : public ::testing::TestWithParam<ComplianceCase> {};

Bytes c2pa_header(uint32_t uri_offset, uint16_t uri_length, uint32_t store_offset, uint32_t store_length,
                  const Bytes& payload = {}, uint16_t major = 0, uint16_t minor = 1) {
  Bytes table(20);
  gwtest::put16(table, 0, major);
  gwtest::put16(table, 2, minor);
  gwtest::put32(table, 4, uri_offset);
  gwtest::put16(table, 8, uri_length);
  gwtest::put32(table, 12, store_offset);
  gwtest::put32(table, 16, store_length);
  table.insert(table.end(), payload.begin(), payload.end());
  return table;
}

TEST_P(Compliance, ReportsItsFindings) {
  const ComplianceCase& c = GetParam();
  std::vector<std::pair<std::string, Bytes>> tables = {{"name", bytes_of({1, 2, 3})}};
  if (c.with_head) tables.push_back({"head", gwtest::head_table()});
  if (c.c2pa) tables.push_back({"C2PA", *c.c2pa});
  Bytes font = write_tables(tables);
  ComplianceReport report = ok(glyphward::check_compliance(font));
  EXPECT_EQ(report.has_c2pa_table, c.expected.has_c2pa_table);
  EXPECT_EQ(report.has_manifest_store, c.expected.has_manifest_store);
  EXPECT_EQ(report.has_active_manifest_uri, c.expected.has_active_manifest_uri);
  EXPECT_EQ(report.checksum_valid, c.expected.checksum_valid);
  EXPECT_EQ(ok(glyphward::verify_font_checksum(font)), c.expected.checksum_valid);
  const bool compliant = c.expected.has_c2pa_table && c.expected.checksum_valid &&
                         (c.expected.has_manifest_store || c.expected.has_active_manifest_uri);
  EXPECT_EQ(report.compliant(), compliant);

  // Any change to a table byte spoils the checksum but no other finding.
  if (c.with_head) {
    font.back() ^= 0x01;
    report = ok(glyphward::check_compliance(font));
    EXPECT_FALSE(report.checksum_valid);
    EXPECT_FALSE(report.compliant());
    EXPECT_EQ(report.has_c2pa_table, c.expected.has_c2pa_table);
    EXPECT_EQ(report.has_manifest_store, c.expected.has_manifest_store);
    EXPECT_EQ(report.has_active_manifest_uri, c.expected.has_active_manifest_uri);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fonts, Compliance,
    ::testing::Values(
        ComplianceCase{"no_c2pa", std::nullopt, true, {false, false, false, true}},
        ComplianceCase{"no_c2pa_no_head", std::nullopt, false, {false, false, false, false}},
        ComplianceCase{"store", c2pa_header(0, 0, 20, 2, bytes_of({1, 2})), true, {true, true, false, true}},
        ComplianceCase{"uri", c2pa_header(20, 1, 0, 0, bytes_of({'u'})), true, {true, false, true, true}},
        ComplianceCase{"both", c2pa_header(20, 1, 21, 1, bytes_of({'u', 9})), true, {true, true, true, true}},
        ComplianceCase{"neither", c2pa_header(0, 5, 0, 5), true, {true, false, false, true}},
        ComplianceCase{"present_empty_store", c2pa_header(0, 0, 20, 0), true, {true, true, false, true}},
        ComplianceCase{"present_empty_uri", c2pa_header(20, 0, 0, 0), true, {true, false, true, true}},
        ComplianceCase{"any_version", c2pa_header(0, 0, 20, 1, bytes_of({1}), 9, 9), true, {true, true, false, true}},
        ComplianceCase{"store_without_head", c2pa_header(0, 0, 20, 1, bytes_of({1})), false, {true, true, false, false}}),
    [](const ::testing::TestParamInfo<ComplianceCase>& p) { return std::string(p.param.name); });

TEST(CheckCompliance, Refusals) {
  const Bytes store_table = c2pa_header(0, 0, 20, 1, bytes_of({1}));
  for (size_t n : {2, 3}) {
    std::vector<std::pair<std::string, Bytes>> tables = {{"head", gwtest::head_table()}};
    for (size_t i = 0; i < n; ++i) tables.push_back({"C2PA", store_table});
    EXPECT_EQ(glyphward::check_compliance(write_tables(tables)).error().message(),
              "invalid C2PA table: font contains " + std::to_string(n) + " C2PA tables; at most one is allowed");
  }
  EXPECT_EQ(glyphward::check_compliance(write_tables({{"head", gwtest::head_table()}, {"C2PA", Bytes(10, 0)}}))
                .error(),
            FontError::invalid_c2pa_table("table shorter than 20-byte header"));
  EXPECT_EQ(glyphward::check_compliance(write_tables({{"C2PA", c2pa_header(20, 1, 0, 0, bytes_of({0xC0}))}})).error(),
            FontError::invalid_c2pa_table("active manifest URI is not valid UTF-8"));
  for (const NotAFont& bad : not_fonts()) {
    EXPECT_EQ(glyphward::check_compliance(bad.bytes).error(), bad.error);
    EXPECT_EQ(glyphward::verify_font_checksum(bad.bytes).error(), bad.error);
  }
}

// A font whose head table starts at an odd offset and whose length is not a
// multiple of 4. The adjustment is computed as the format defines it: the
// sum of the file with the four adjustment bytes taken as zero.
Bytes odd_head_font(size_t head_length = 54) {
  const uint32_t head_offset = 45;
  Bytes font = gwtest::raw_font({{"name", 44, 1}, {"head", head_offset, static_cast<uint32_t>(head_length)}},
                                head_offset + head_length);
  font[44] = 0x5E;
  gwtest::place(font, head_offset, gwtest::head_table(head_length, 0));
  if (head_length >= 12) gwtest::put32(font, head_offset + 8, kMagic - naive_checksum(font));
  return font;
}

TEST(VerifyFontChecksum, HeadAtAnOffsetThatIsNotAMultipleOfFour) {
  Bytes font = odd_head_font();
  ASSERT_EQ(font.size(), 99u);
  EXPECT_TRUE(ok(glyphward::verify_font_checksum(font)));
  // The plain whole-file sum is not the magic number here: the adjustment's
  // bytes straddle two words.
  EXPECT_NE(naive_checksum(font), kMagic);
  // Any changed byte of the tables, the adjustment included, is noticed.
  for (size_t p = 44; p < font.size(); ++p) {
    for (uint8_t flip : {0x01, 0x80}) {
      font[p] ^= flip;
      ASSERT_FALSE(ok(glyphward::verify_font_checksum(font))) << "byte " << p;
      font[p] ^= flip;
    }
  }
  // Directory checksums are not compared with the tables; they count in the
  // whole-file sum like any other bytes, so the adjustment is made anew.
  gwtest::put32(font, 16, 0x12345678);
  gwtest::put32(font, 32, 0xCAFEBABE);
  gwtest::put32(font, 53, 0);
  gwtest::put32(font, 53, kMagic - naive_checksum(font));
  EXPECT_TRUE(ok(glyphward::verify_font_checksum(font)));
}

TEST(VerifyFontChecksum, ShortOrMissingHeadIsFalse) {
  EXPECT_FALSE(ok(glyphward::verify_font_checksum(odd_head_font(11))));
  Bytes font = gwtest::raw_font({{"name", 28, 4}}, 32);
  gwtest::put32(font, 28, kMagic - naive_checksum(font));  // sums to the magic number, but no head
  ASSERT_EQ(naive_checksum(font), kMagic);
  EXPECT_FALSE(ok(glyphward::verify_font_checksum(font)));
  // A font that is 12 bytes of header and nothing else.
  EXPECT_FALSE(ok(glyphward::verify_font_checksum(gwtest::raw_font({}, 12))));
}

TEST(VerifyFontChecksum, TheFirstHeadInDirectoryOrderDecides) {
  // Two head records: the first at 65, off the word grid, the second at 120.
  const std::vector<Record> records = {{"head", 65, 54}, {"head", 120, 54}};
  Bytes font = gwtest::raw_font(records, 176);
  gwtest::place(font, 65, gwtest::head_table(54, 0));
  gwtest::place(font, 120, gwtest::head_table(54, 0));

  Bytes first_right = font;
  gwtest::put32(first_right, 128, 0x0BADF00D);  // the second's field counts as plain bytes
  gwtest::put32(first_right, 73, kMagic - naive_checksum(first_right));
  EXPECT_TRUE(ok(glyphward::verify_font_checksum(first_right)));

  // Adjusted through the second head, the whole file sums to the magic
  // number, but the first head's field read as zero does not give it.
  Bytes second_right = font;
  gwtest::put32(second_right, 73, 0x0BADF00D);
  gwtest::put32(second_right, 128, kMagic - naive_checksum(second_right));
  ASSERT_EQ(naive_checksum(second_right), kMagic);
  EXPECT_FALSE(ok(glyphward::verify_font_checksum(second_right)));

  // The writer adjusts the last head; its output still passes, because the
  // whole sum is the magic number and the first head sits at a multiple of 4.
  const Bytes written = write_tables({{"head", gwtest::head_table(54, 1)}, {"head", gwtest::head_table(20, 2)}});
  EXPECT_TRUE(ok(glyphward::verify_font_checksum(written)));
}

// ------------------------------------------------------ directory scan

TEST(ScanTableDirectory, ReadsRecordsAsStored) {
  // The version word is not examined, and the records need no order.
  Bytes font = gwtest::raw_font({{"zzzz", 60, 4}, {"C2PA", 44, 16}, {"cvt ", 64, 0}}, 64, 0x774F4646);
  const std::vector<DirectoryEntry> entries = ok(glyphward::scan_table_directory(font));
  ASSERT_EQ(entries.size(), 3u);
  const uint64_t positions[] = {12, 28, 44};
  const uint64_t offsets[] = {60, 44, 64};
  const uint64_t lengths[] = {4, 16, 0};
  const char* tags[] = {"zzzz", "C2PA", "cvt "};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].record_position, positions[i]);
    EXPECT_EQ(entries[i].table_offset, offsets[i]);
    EXPECT_EQ(entries[i].table_length, lengths[i]);
    EXPECT_EQ(entries[i].tag, gwtest::tag_of(tags[i]));
  }
  EXPECT_TRUE(ok(glyphward::scan_table_directory(gwtest::raw_font({}, 12, 0))).empty());
}

TEST(ScanTableDirectory, Refusals) {
  const FontError past_end = FontError::invalid_font("table extends past end of file");
  EXPECT_EQ(glyphward::scan_table_directory(Bytes(11, 0)).error(), FontError::not_sfnt());
  Bytes truncated = gwtest::raw_font({{"abcd", 0, 0}, {"efgh", 0, 0}}, 44);
  EXPECT_TRUE(glyphward::scan_table_directory(truncated).ok());
  truncated.pop_back();
  EXPECT_EQ(glyphward::scan_table_directory(truncated).error(), FontError::invalid_font("table directory truncated"));
  // Any record, not only C2PA and head; the first failing one ends the scan.
  EXPECT_EQ(glyphward::scan_table_directory(gwtest::raw_font({{"abcd", 40, 5}}, 44)).error(), past_end);
  EXPECT_TRUE(glyphward::scan_table_directory(gwtest::raw_font({{"abcd", 40, 4}}, 44)).ok());
  EXPECT_TRUE(glyphward::scan_table_directory(gwtest::raw_font({{"abcd", 44, 0}}, 44)).ok());
  EXPECT_EQ(glyphward::scan_table_directory(gwtest::raw_font({{"abcd", 45, 0}}, 44)).error(), past_end);
  EXPECT_EQ(glyphward::scan_table_directory(gwtest::raw_font({{"abcd", 0xFFFFFFFF, 0xFFFFFFFF}}, 44)).error(),
            past_end);
  EXPECT_EQ(glyphward::scan_table_directory(gwtest::raw_font({{"abcd", 1, 0xFFFFFFFF}}, 44)).error(), past_end);
}

// ------------------------------------------------------- exclusion ranges

std::vector<ExclusionRange> ranges_of(ByteView font) { return ok(glyphward::data_hash_ranges(font)); }

TEST(DataHashRanges, WriterLayoutGivesChecksumStoreAdjustment) {
  const Bytes store(100, 0x33);
  const Bytes font = ok(embed(sample_font(), std::nullopt, ByteView(store)));
  const DirectoryEntry c2pa = *entry_of(font, "C2PA");
  const DirectoryEntry head = *entry_of(font, "head");
  EXPECT_EQ(c2pa.record_position, 12u);  // C2PA sorts first
  const std::vector<ExclusionRange> expected = {
      {16, 4}, {c2pa.table_offset + 20, 100}, {head.table_offset + 8, 4}};
  EXPECT_EQ(ranges_of(font), expected);
  EXPECT_EQ(c2pa.table_offset, 12 + 16 * 7u);
}

// Ranges with equal starts keep the order store, record checksum, adjustment.
TEST(DataHashRanges, TiesKeepTheirOrder) {
  // Records: head at 24 (12 bytes), C2PA at 8 (36 bytes) overlapping the
  // directory. The C2PA table's store fields are the head record's offset
  // and length fields: store offset 24, length 12, so the store starts at
  // 8 + 24 = 32, where the C2PA record's checksum field (28 + 4) and the
  // head adjustment (24 + 8) start too.
  const Bytes font = gwtest::raw_font({{"head", 24, 12}, {"C2PA", 8, 36}}, 44);
  const std::vector<ExclusionRange> expected = {{32, 12}, {32, 4}, {32, 4}};
  EXPECT_EQ(ranges_of(font), expected);

  // Store and record checksum tie, the adjustment comes first.
  const Bytes font2 = gwtest::raw_font({{"head", 24, 12}, {"C2PA", 8, 36}, {"head", 0, 0}}, 60);
  // Same fields; the directory is longer now, so the font is too.
  EXPECT_EQ(ranges_of(font2), expected);
}

TEST(DataHashRanges, SortsByStart) {
  // head before the C2PA table in the file: [record checksum, adjustment, store].
  Bytes font = gwtest::raw_font({{"C2PA", 100, 30}, {"head", 44, 54}}, 132);
  gwtest::place(font, 100, c2pa_header(0, 0, 20, 10, Bytes(10, 0)));
  const std::vector<ExclusionRange> expected = {{16, 4}, {52, 4}, {120, 10}};
  EXPECT_EQ(ranges_of(font), expected);
  // The C2PA record later in the directory than a store that starts early.
  Bytes font2 = gwtest::raw_font({{"head", 200, 54}, {"abcd", 0, 0}, {"C2PA", 60, 30}}, 256);
  gwtest::place(font2, 60, c2pa_header(0, 0, 20, 10, Bytes(10, 0)));
  const std::vector<ExclusionRange> expected2 = {{48, 4}, {80, 10}, {208, 4}};
  EXPECT_EQ(ranges_of(font2), expected2);
}

TEST(DataHashRanges, StoreBoundsAndHeaderChecks) {
  auto font_with_c2pa = [](const Bytes& table, uint32_t declared_length) {
    Bytes font = gwtest::raw_font({{"C2PA", 28, declared_length}}, 28 + table.size());
    gwtest::place(font, 28, table);
    return font;
  };
  // Ending exactly at the table's end is accepted; one byte more is not.
  EXPECT_EQ(ranges_of(font_with_c2pa(c2pa_header(0, 0, 20, 8, Bytes(8, 0)), 28)),
            (std::vector<ExclusionRange>{{16, 4}, {48, 8}}));
  EXPECT_EQ(glyphward::data_hash_ranges(font_with_c2pa(c2pa_header(0, 0, 20, 9, Bytes(9, 0)), 28)).error(),
            FontError::invalid_c2pa_table("manifest store extends past C2PA table"));
  // A store inside the header is not refused; the URI is never looked at.
  EXPECT_EQ(ranges_of(font_with_c2pa(c2pa_header(0xFFFFFFFF, 0xFFFF, 4, 4), 20)),
            (std::vector<ExclusionRange>{{16, 4}, {32, 4}}));
  EXPECT_EQ(glyphward::data_hash_ranges(font_with_c2pa(c2pa_header(0, 0, 20, 0xFFFFFFFF), 20)).error(),
            FontError::invalid_c2pa_table("manifest store extends past C2PA table"));
  EXPECT_EQ(glyphward::data_hash_ranges(font_with_c2pa(c2pa_header(0, 0, 0xFFFFFFFF, 1), 20)).error(),
            FontError::invalid_c2pa_table("manifest store extends past C2PA table"));
  for (const Bytes& no_store : {c2pa_header(20, 1, 0, 5, bytes_of({'u'})), c2pa_header(0, 0, 20, 0)}) {
    EXPECT_EQ(glyphward::data_hash_ranges(font_with_c2pa(no_store, static_cast<uint32_t>(no_store.size()))).error(),
              FontError::invalid_c2pa_table("no embedded manifest store to bind"));
  }
  EXPECT_EQ(glyphward::data_hash_ranges(font_with_c2pa(c2pa_header(0, 0, 4, 4), 19)).error(),
            FontError::invalid_c2pa_table("C2PA table shorter than header"));
  EXPECT_EQ(glyphward::data_hash_ranges(gwtest::raw_font({{"head", 28, 0}}, 28)).error(), FontError::no_c2pa_table());
  EXPECT_EQ(glyphward::data_hash_ranges(gwtest::raw_font({}, 12, 0x12345678)).error(), FontError::no_c2pa_table());
  EXPECT_EQ(glyphward::data_hash_ranges(Bytes(11, 0)).error(), FontError::not_sfnt());
}

TEST(DataHashRanges, FirstRecordsOfEachTagCount) {
  // Two C2PA tables: the first record's store is used. Two heads: only the
  // first record is looked at, even when it is short and the second is not.
  Bytes font = gwtest::raw_font(
      {{"C2PA", 92, 24}, {"head", 140, 11}, {"C2PA", 116, 24}, {"head", 152, 54}}, 208);
  gwtest::place(font, 92, c2pa_header(0, 0, 20, 4, Bytes(4, 0)));
  gwtest::place(font, 116, c2pa_header(0, 0, 22, 2, Bytes(4, 0)));
  EXPECT_EQ(ranges_of(font), (std::vector<ExclusionRange>{{16, 4}, {112, 4}}));
  gwtest::put32(font, 28 + 12, 12);  // first head now 12 bytes long
  EXPECT_EQ(ranges_of(font), (std::vector<ExclusionRange>{{16, 4}, {112, 4}, {148, 4}}));
}

// ---------------------------------------------------------- reservation

TEST(ReserveManifestPlaceholder, ZeroSizeIsRefusedBeforeTheFontIsRead) {
  std::vector<Bytes> inputs = {Bytes(), sample_font()};
  for (const NotAFont& bad : not_fonts()) inputs.push_back(bad.bytes);
  for (const Bytes& input : inputs) {
    RecordingOutput out;
    Result<ByteView> result = glyphward::reserve_manifest_placeholder(input, 0, std::nullopt, out);
    EXPECT_EQ(result.error(), FontError::invalid_c2pa_table("reserve_size must be non-zero"));
    EXPECT_TRUE(out.requests.empty());
  }
}

TEST(ReserveManifestPlaceholder, CapacityOverflowAfterASuccessfulParse) {
  const Bytes font = sample_font();
  for (uint64_t size : {uint64_t{1} << 63, (uint64_t{1} << 63) + 1, ~uint64_t{0}}) {
    RecordingOutput out;
    try {
      (void)glyphward::reserve_manifest_placeholder(font, size, std::nullopt, out);
      ADD_FAILURE() << "no invariant failure for " << size;
    } catch (const glyphward::InvariantFailure& failure) {
      EXPECT_EQ(failure.message(), "capacity overflow");
    }
    EXPECT_TRUE(out.requests.empty());
    // The parse error wins on a bad font.
    for (const NotAFont& bad : not_fonts()) EXPECT_EQ(reserve(bad.bytes, size).error(), bad.error);
  }
}

TEST(ReserveManifestPlaceholder, SizesTheTableCannotHoldAreRefusedBeforeAllocating) {
  const Bytes font = sample_font();
  struct Case {
    uint64_t size;
    size_t uri_length;
    FontError error;
  };
  const Case cases[] = {
      {(uint64_t{1} << 63) - 1, 0,
       FontError::invalid_c2pa_table("manifest store is 9223372036854775807 bytes; a C2PA table holds at most "
                                     "4294967295")},
      {uint64_t{1} << 32, 0,
       FontError::invalid_c2pa_table("manifest store is 4294967296 bytes; a C2PA table holds at most 4294967295")},
      {0xFFFFFFFF - 19, 0,
       FontError::invalid_c2pa_table("table would be 4294967296 bytes; an SFNT table holds at most 4294967295")},
      {1, 65536,
       FontError::invalid_c2pa_table("active manifest URI is 65536 bytes; a C2PA table holds at most 65535")},
  };
  for (const Case& c : cases) {
    const std::string uri(c.uri_length, 'u');
    const std::optional<std::string_view> uri_arg =
        c.uri_length ? std::optional<std::string_view>(uri) : std::nullopt;
    RecordingOutput out;
    gwtest::reset_largest_allocation();
    const auto started = std::chrono::steady_clock::now();
    Result<ByteView> result = glyphward::reserve_manifest_placeholder(font, c.size, uri_arg, out);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.error);
    EXPECT_TRUE(out.requests.empty());
    if (gwtest::allocation_guard_active()) {
      EXPECT_LT(gwtest::largest_allocation(), size_t{1} << 20);
    }
    EXPECT_LT(elapsed, std::chrono::seconds(1));
  }
}

TEST(ReserveManifestPlaceholder, FontsTheSfntFieldsCannotHoldAreRefusedBeforeAllocating) {
  // The table itself fits its fields, but the font around it does not.
  const Bytes font = sample_font();
  for (uint64_t size : {uint64_t{0xFFFFFFFF - 20}, uint64_t{0xFFFFFFFF - 20 - 600}}) {
    RecordingOutput out;
    gwtest::reset_largest_allocation();
    Result<ByteView> result = glyphward::reserve_manifest_placeholder(font, size, std::nullopt, out);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), FontErrorKind::InvalidFont);
    EXPECT_EQ(result.error().detail().rfind("font would be ", 0), 0u) << result.error().detail();
    EXPECT_TRUE(out.requests.empty());
    if (gwtest::allocation_guard_active()) {
      EXPECT_LT(gwtest::largest_allocation(), size_t{1} << 20);
    }
  }
}

TEST(ReserveManifestPlaceholder, WritesAZeroStoreAndItsRanges) {
  for (bool with_head : {true, false}) {
    for (uint64_t size : {uint64_t{4}, uint64_t{1024}, uint64_t{1001}}) {
      const Bytes font = sample_font(with_head);
      const Bytes reserved = ok(reserve(font, size, std::string_view("https://m/1")));
      const DirectoryEntry c2pa = *entry_of(reserved, "C2PA");
      EXPECT_EQ(c2pa.table_length, 20 + 11 + size);
      const std::vector<ExclusionRange> ranges = ranges_of(reserved);
      ASSERT_EQ(ranges.size(), with_head ? 3u : 2u);
      EXPECT_EQ(ranges[0], (ExclusionRange{c2pa.record_position + 4, 4}));
      EXPECT_EQ(ranges[1], (ExclusionRange{c2pa.table_offset + 31, size}));
      if (with_head) {
        EXPECT_EQ(ranges[2], (ExclusionRange{entry_of(reserved, "head")->table_offset + 8, 4}));
      }
      for (uint64_t p = ranges[1].start; p < ranges[1].start + size; ++p) ASSERT_EQ(reserved[p], 0);
      EXPECT_EQ(*ok(glyphward::read_active_manifest_uri(reserved)), "https://m/1");
      EXPECT_EQ(ok(glyphward::verify_font_checksum(reserved)), with_head);
      // Reserving again with the same arguments changes nothing.
      EXPECT_EQ(ok(reserve(reserved, size, std::string_view("https://m/1"))), reserved);
    }
  }
}

TEST(ReserveManifestPlaceholder, DropsTheOldTableAndTreatsEmptyUriAsNone) {
  const Bytes store = bytes_of({5, 5, 5});
  const Bytes embedded = ok(embed(sample_font(), std::string_view("old"), ByteView(store)));
  const Bytes reserved = ok(reserve(embedded, 16));
  EXPECT_EQ(count_tables(reserved, "C2PA"), 1u);
  EXPECT_EQ(table_of(reserved, "C2PA"), [] {
    Bytes t = bytes_of({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 16});
    t.resize(36, 0);
    return t;
  }());
  EXPECT_EQ(ok(reserve(embedded, 16, std::string_view(""))), reserved);
  const std::string longest(65535, 'u');
  const Bytes long_uri = ok(reserve(embedded, 8, std::string_view(longest)));
  EXPECT_EQ(ranges_of(long_uri)[1], (ExclusionRange{entry_of(long_uri, "C2PA")->table_offset + 20 + 65535, 8}));
}

// -------------------------------------------------------------- filling

// Positions where two equally long fonts differ.
std::vector<size_t> differences(const Bytes& a, const Bytes& b) {
  std::vector<size_t> out;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i] != b[i]) out.push_back(i);
  }
  return out;
}

bool inside(const std::vector<ExclusionRange>& ranges, size_t p) {
  for (const ExclusionRange& r : ranges) {
    if (p >= r.start && p - r.start < r.length) return true;
  }
  return false;
}

TEST(FillManifestStore, ChangesOnlyBytesInsideTheReportedRanges) {
  for (bool with_head : {true, false}) {
    for (std::optional<std::string_view> uri : {std::optional<std::string_view>(), std::optional<std::string_view>("u:1")}) {
      const Bytes reserved = ok(reserve(sample_font(with_head), 1024, uri));
      const std::vector<ExclusionRange> ranges = ranges_of(reserved);
      for (size_t m : {size_t{0}, size_t{1}, size_t{1000}, size_t{1023}, size_t{1024}}) {
        Bytes manifest(m);
        for (size_t i = 0; i < m; ++i) manifest[i] = static_cast<uint8_t>(1 + i * 13);
        const Bytes filled = ok(fill(reserved, manifest));
        ASSERT_EQ(filled.size(), reserved.size());
        for (size_t p : differences(filled, reserved)) ASSERT_TRUE(inside(ranges, p)) << "byte " << p << " m " << m;
        EXPECT_EQ(ranges_of(filled), ranges);
        const ExclusionRange store = ranges[1];
        EXPECT_EQ(gwtest::slice(filled, store.start, m), manifest);
        for (uint64_t p = store.start + m; p < store.start + store.length; ++p) ASSERT_EQ(filled[p], 0);
        Bytes read = to_bytes(ok(glyphward::read_manifest_store(filled)));
        ASSERT_EQ(read.size(), 1024u);
        EXPECT_EQ(ok(glyphward::read_active_manifest_uri(filled)), uri);
        EXPECT_EQ(ok(glyphward::verify_font_checksum(filled)), with_head);
        if (m == 0) {
          EXPECT_EQ(filled, reserved);
        }
        if (m > 0 && with_head) {
          // The record checksum and the adjustment did change. (Each moves
          // by the change in the store's sum, the adjustment twice over: a
          // change of 0x80000000 would leave it as it was.)
          EXPECT_NE(be32(filled, ranges[0].start), be32(reserved, ranges[0].start));
          EXPECT_NE(be32(filled, ranges[2].start), be32(reserved, ranges[2].start));
        }
        // Refilling a filled font with a shorter manifest leaves no trace.
        const Bytes refilled = ok(fill(filled, bytes_of({0x42})));
        EXPECT_EQ(refilled, ok(fill(reserved, bytes_of({0x42}))));
      }
    }
  }
}

TEST(FillManifestStore, Refusals) {
  const Bytes reserved = ok(reserve(sample_font(), 1024));
  RecordingOutput out;
  Result<ByteView> too_long = glyphward::fill_manifest_store(reserved, Bytes(1025, 1), out);
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().message(), "invalid C2PA table: signed manifest is 1025 bytes but only 1024 were reserved");
  EXPECT_TRUE(out.requests.empty());

  EXPECT_EQ(fill(sample_font(), bytes_of({1})).error(), FontError::no_c2pa_table());
  const Bytes uri_only = ok(embed(sample_font(), std::string_view("u"), std::nullopt));
  EXPECT_EQ(fill(uri_only, Bytes()).error(), FontError::invalid_c2pa_table("reserved font has no manifest store"));
  const Bytes bad_table = write_tables({{"C2PA", Bytes(19, 0)}});
  EXPECT_EQ(fill(bad_table, Bytes()).error(), FontError::invalid_c2pa_table("table shorter than 20-byte header"));
  for (const NotAFont& bad : not_fonts()) EXPECT_EQ(fill(bad.bytes, Bytes()).error(), bad.error);
}

TEST(FillManifestStore, PresentEmptyStoreTakesOnlyAnEmptyManifest) {
  const Bytes font = write_tables({{"C2PA", c2pa_header(20, 1, 21, 0, bytes_of({'u'}), 3, 4)}});
  EXPECT_EQ(fill(font, bytes_of({1})).error(),
            FontError::invalid_c2pa_table("signed manifest is 1 bytes but only 0 were reserved"));
  const Bytes filled = ok(fill(font, Bytes()));
  // Rewritten as version 0.1 with the URI and no store.
  EXPECT_EQ(table_of(filled, "C2PA"), bytes_of({0, 0, 0, 1, 0, 0, 0, 20, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'u'}));
}

TEST(FillManifestStore, FillsFromTheFirstC2paTable) {
  const Bytes font = write_tables({{"C2PA", c2pa_header(0, 0, 20, 4, Bytes(4, 0xEE))},
                                   {"C2PA", c2pa_header(0, 0, 20, 100, Bytes(100, 0))},
                                   {"head", gwtest::head_table()}});
  const Bytes filled = ok(fill(font, bytes_of({7, 7})));
  EXPECT_EQ(count_tables(filled, "C2PA"), 1u);
  EXPECT_EQ(to_bytes(ok(glyphward::read_manifest_store(filled))), bytes_of({7, 7, 0, 0}));
  EXPECT_EQ(fill(font, Bytes(5, 1)).error().detail(), "signed manifest is 5 bytes but only 4 were reserved");
}

}  // namespace
