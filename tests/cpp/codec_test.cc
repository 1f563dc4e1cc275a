#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "allocation_guard.h"
#include "sfnt/c2pa_table.h"
#include "sfnt/write_sfnt.h"
#include "test_support.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::C2paTable;
using glyphward::encode_c2pa_table;
using glyphward::FontError;
using glyphward::FontErrorKind;
using glyphward::parse_c2pa_table;
using glyphward::Result;
using glyphward::serialize_c2pa_table;
using gwtest::be16;
using gwtest::be32;
using gwtest::bytes_of;
using gwtest::put16;
using gwtest::put32;

Bytes serialize_ok(const C2paTable& table) {
  Result<Bytes> bytes = serialize_c2pa_table(table);
  if (!bytes) {
    ADD_FAILURE() << bytes.error().message();
    return {};
  }
  return *bytes;
}

// A 20-byte header with the given fields, followed by `payload`.
Bytes header(uint16_t major, uint16_t minor, uint32_t uri_offset, uint16_t uri_length, uint32_t store_offset,
             uint32_t store_length, const Bytes& payload = {}, uint16_t reserved = 0) {
  Bytes table(20);
  put16(table, 0, major);
  put16(table, 2, minor);
  put32(table, 4, uri_offset);
  put16(table, 8, uri_length);
  put16(table, 10, reserved);
  put32(table, 12, store_offset);
  put32(table, 16, store_length);
  table.insert(table.end(), payload.begin(), payload.end());
  return table;
}

void expect_c2pa_error(const Result<C2paTable>& result, const std::string& detail) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), FontError::invalid_c2pa_table(detail));
}

TEST(SerializeC2paTable, AbcExampleByteForByte) {
  const Bytes store = bytes_of({0xDE, 0xAD, 0xBE, 0xEF, 0x00});
  C2paTable table;
  table.active_manifest_uri = "abc";
  table.manifest_store = ByteView(store);
  Bytes expected = bytes_of({0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14, 0x00, 0x03,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x05, 'a', 'b', 'c'});
  expected.insert(expected.end(), store.begin(), store.end());
  EXPECT_EQ(serialize_ok(table), expected);
}

TEST(SerializeC2paTable, AbsentAndEmptyPartsAreWrittenAlike) {
  const Bytes store = bytes_of({1, 2});
  C2paTable store_only;
  store_only.manifest_store = ByteView(store);
  EXPECT_EQ(serialize_ok(store_only), header(0, 1, 0, 0, 20, 2, store));

  C2paTable empty_uri = store_only;
  empty_uri.active_manifest_uri = "";
  EXPECT_EQ(serialize_ok(empty_uri), header(0, 1, 0, 0, 20, 2, store));

  C2paTable uri_only;
  uri_only.active_manifest_uri = "https://x";
  uri_only.manifest_store = ByteView();  // present but empty
  EXPECT_EQ(serialize_ok(uri_only), header(0, 1, 20, 9, 0, 0, gwtest::text_bytes("https://x")));

  C2paTable neither;
  neither.major_version = 7;
  neither.minor_version = 9;
  EXPECT_EQ(serialize_ok(neither), bytes_of({0, 7, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ParseC2paTable, RoundTripsEveryCombination) {
  const std::vector<std::optional<std::string>> uris = {std::nullopt, std::string(), std::string("u"),
                                                        std::string("https://example.com/\xE2\x82\xAC"),
                                                        std::string(300, 'q')};
  const std::vector<std::optional<Bytes>> stores = {std::nullopt, Bytes(), bytes_of({0}), Bytes(1000, 0xC3)};
  for (const auto& uri : uris) {
    for (const auto& store : stores) {
      C2paTable table;
      table.major_version = 0x1234;
      table.minor_version = 0xFEDC;
      if (uri) table.active_manifest_uri = std::string_view(*uri);
      if (store) table.manifest_store = ByteView(*store);
      const Bytes encoded = serialize_ok(table);
      ASSERT_EQ(encoded.size(), 20 + (uri ? uri->size() : 0) + (store ? store->size() : 0));
      Result<C2paTable> parsed = parse_c2pa_table(encoded);
      ASSERT_TRUE(parsed.ok()) << parsed.error().message();
      EXPECT_EQ(parsed->major_version, 0x1234);
      EXPECT_EQ(parsed->minor_version, 0xFEDC);
      // A present but empty part comes back absent.
      if (uri && !uri->empty()) {
        ASSERT_TRUE(parsed->active_manifest_uri.has_value());
        EXPECT_EQ(*parsed->active_manifest_uri, *uri);
      } else {
        EXPECT_FALSE(parsed->active_manifest_uri.has_value());
      }
      if (store && !store->empty()) {
        ASSERT_TRUE(parsed->manifest_store.has_value());
        EXPECT_EQ(Bytes(parsed->manifest_store->begin(), parsed->manifest_store->end()), *store);
      } else {
        EXPECT_FALSE(parsed->manifest_store.has_value());
      }
      // Serializing the parsed table gives the same bytes again.
      EXPECT_EQ(serialize_ok(*parsed), encoded);
    }
  }
}

TEST(ParseC2paTable, HeaderOnly) {
  // The reserved field is not read either.
  Result<C2paTable> parsed = parse_c2pa_table(header(7, 9, 0, 500, 0, 0xFFFFFFFF, {}, 0xFFFF));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->major_version, 7);
  EXPECT_EQ(parsed->minor_version, 9);
  EXPECT_FALSE(parsed->active_manifest_uri.has_value());  // offset 0: the length is ignored
  EXPECT_FALSE(parsed->manifest_store.has_value());

  for (size_t length : {0, 1, 19}) {
    expect_c2pa_error(parse_c2pa_table(Bytes(length, 0)), "table shorter than 20-byte header");
  }
}

TEST(ParseC2paTable, PresentEmptyParts) {
  Result<C2paTable> parsed = parse_c2pa_table(header(0, 1, 20, 0, 20, 0));
  ASSERT_TRUE(parsed.ok());
  ASSERT_TRUE(parsed->active_manifest_uri.has_value());
  EXPECT_TRUE(parsed->active_manifest_uri->empty());
  ASSERT_TRUE(parsed->manifest_store.has_value());
  EXPECT_TRUE(parsed->manifest_store->empty());
}

TEST(ParseC2paTable, PartBounds) {
  const Bytes payload = gwtest::text_bytes("abcdefgh");  // table of 28 bytes
  // Parts ending exactly at the end are accepted.
  ASSERT_TRUE(parse_c2pa_table(header(0, 1, 20, 8, 0, 0, payload)).ok());
  ASSERT_TRUE(parse_c2pa_table(header(0, 1, 0, 0, 27, 1, payload)).ok());
  ASSERT_TRUE(parse_c2pa_table(header(0, 1, 28, 0, 28, 0, payload)).ok());
  // One byte more is not.
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 20, 9, 0, 0, payload)),
                    "active manifest URI extends past end of table");
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 29, 0, 0, 0, payload)),
                    "active manifest URI extends past end of table");
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 0, 0, 27, 2, payload)), "manifest store extends past end of table");
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 0, 0, 29, 0, payload)), "manifest store extends past end of table");
  // Sums that would wrap in 32 bits.
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, payload)),
                    "manifest store extends past end of table");
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 0, 0, 1, 0xFFFFFFFF, payload)),
                    "manifest store extends past end of table");
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 0xFFFFFFFF, 0xFFFF, 0, 0, payload)),
                    "active manifest URI extends past end of table");
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 0xFFFFFFF0, 0x20, 0, 0, payload)),
                    "active manifest URI extends past end of table");
  // Both out of bounds: the URI is reported.
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 100, 1, 100, 1, payload)),
                    "active manifest URI extends past end of table");
}

TEST(ParseC2paTable, PartsMayOverlapTheHeaderAndEachOther) {
  // The URI at offset 4 reads the header's own bytes 00 00 00 04 00 03:
  // valid UTF-8 (NULs and control characters).
  const Bytes table = header(0, 1, 4, 6, 1, 27, gwtest::text_bytes("abcdefgh"));
  Result<C2paTable> parsed = parse_c2pa_table(table);  // views `table`
  ASSERT_TRUE(parsed.ok()) << parsed.error().message();
  EXPECT_EQ(*parsed->active_manifest_uri, std::string("\0\0\0\x04\0\x06", 6));
  ASSERT_EQ(parsed->manifest_store->size(), 27u);
  EXPECT_EQ((*parsed->manifest_store)[0], 0x00);
  EXPECT_EQ((*parsed->manifest_store)[2], 0x01);  // the minor version's low byte
  EXPECT_EQ((*parsed->manifest_store)[26], 'h');
  // A URI overlapping the header where it is not valid UTF-8.
  expect_c2pa_error(parse_c2pa_table(header(0, 1, 10, 2, 0, 0, {}, 0xEEEE)),
                    "active manifest URI is not valid UTF-8");
}

TEST(ParseC2paTable, UriMustBeStrictUtf8) {
  for (const Bytes& bad : {bytes_of({0xC0, 0xAF}), bytes_of({0xED, 0xA0, 0x80}), bytes_of({'a', 0xE2, 0x82}),
                           bytes_of({0xF4, 0x90, 0x80, 0x80}), bytes_of({0x80})}) {
    expect_c2pa_error(parse_c2pa_table(header(0, 1, 20, static_cast<uint16_t>(bad.size()), 0, 0, bad)),
                      "active manifest URI is not valid UTF-8");
    // Checked before the store's bounds.
    expect_c2pa_error(parse_c2pa_table(header(0, 1, 20, static_cast<uint16_t>(bad.size()), 99, 99, bad)),
                      "active manifest URI is not valid UTF-8");
  }
  // Only the URI's own bytes are validated, not what follows them.
  ASSERT_TRUE(parse_c2pa_table(header(0, 1, 20, 1, 0, 0, bytes_of({'a', 0xFF}))).ok());
}

// A URI of 65,535 bytes is the most the 16-bit length field holds.
TEST(C2paTableSizes, UriLengthLimit) {
  const std::string longest(65535, 'u');
  C2paTable table;
  table.active_manifest_uri = std::string_view(longest);
  const Bytes encoded = serialize_ok(table);
  ASSERT_EQ(encoded.size(), 20 + 65535u);
  EXPECT_EQ(be32(encoded, 4), 20u);
  EXPECT_EQ(be16(encoded, 8), 0xFFFF);
  Result<C2paTable> parsed = parse_c2pa_table(encoded);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->active_manifest_uri->size(), 65535u);

  const std::string too_long(65536, 'u');
  table.active_manifest_uri = std::string_view(too_long);
  Result<Bytes> refused = serialize_c2pa_table(table);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            FontError::invalid_c2pa_table("active manifest URI is 65536 bytes; a C2PA table holds at most 65535"));
  Result<Bytes> encoded_refused = encode_c2pa_table(std::string_view(too_long), ByteView(), 0);
  ASSERT_FALSE(encoded_refused.ok());
  EXPECT_EQ(encoded_refused.error().kind(), FontErrorKind::InvalidC2paTable);
}

struct SizeCase {
  const char* name;
  uint64_t uri_length;
  uint64_t store_length;
  const char* detail;  // nullptr: accepted
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class C2paTableSizeLimits : public ::testing::TestWithParam<SizeCase> {};

TEST_P(C2paTableSizeLimits, AreCheckedBeforeAnythingIsBuilt) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(glyphward::c2pa_table_length(c.uri_length, c.store_length), 20 + c.uri_length + c.store_length);
  const std::optional<FontError> checked = glyphward::check_c2pa_table_size(c.uri_length, c.store_length);
  if (c.detail == nullptr) {
    EXPECT_FALSE(checked.has_value()) << checked->message();
    return;
  }
  ASSERT_TRUE(checked.has_value());
  EXPECT_EQ(*checked, FontError::invalid_c2pa_table(c.detail));

  // The encoders refuse the same sizes without allocating the table or
  // reading the store: the store's bytes exist only as a size.
  const std::string uri(c.uri_length, 'u');
  gwtest::reset_largest_allocation();
  Result<Bytes> encoded = encode_c2pa_table(std::string_view(uri), ByteView(), c.store_length);
  ASSERT_FALSE(encoded.ok());
  EXPECT_EQ(encoded.error(), *checked);
  C2paTable table;
  table.active_manifest_uri = std::string_view(uri);
  table.manifest_store = gwtest::fake_view(c.store_length);
  Result<Bytes> serialized = serialize_c2pa_table(table);
  ASSERT_FALSE(serialized.ok());
  EXPECT_EQ(serialized.error(), *checked);
  if (gwtest::allocation_guard_active()) {
    EXPECT_LT(gwtest::largest_allocation(), 1u << 20);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, C2paTableSizeLimits,
    ::testing::Values(
        SizeCase{"largest_store", 0, 0xFFFFFFFF - 20, nullptr},
        SizeCase{"largest_store_with_uri", 65535, 0xFFFFFFFF - 20 - 65535, nullptr},
        SizeCase{"store_of_4G", 0, uint64_t{1} << 32,
                 "manifest store is 4294967296 bytes; a C2PA table holds at most 4294967295"},
        SizeCase{"store_of_2_63", 0, uint64_t{1} << 63,
                 "manifest store is 9223372036854775808 bytes; a C2PA table holds at most 4294967295"},
        SizeCase{"store_max_u64", 0, ~uint64_t{0},
                 "manifest store is 18446744073709551615 bytes; a C2PA table holds at most 4294967295"},
        SizeCase{"store_fits_field_table_does_not", 0, 0xFFFFFFFF,
                 "table would be 4294967315 bytes; an SFNT table holds at most 4294967295"},
        SizeCase{"one_byte_over", 0, 0xFFFFFFFF - 19,
                 "table would be 4294967296 bytes; an SFNT table holds at most 4294967295"},
        SizeCase{"one_byte_over_with_uri", 65535, 0xFFFFFFFF - 20 - 65535 + 1,
                 "table would be 4294967296 bytes; an SFNT table holds at most 4294967295"},
        SizeCase{"uri_checked_first", 65536, ~uint64_t{0},
                 "active manifest URI is 65536 bytes; a C2PA table holds at most 65535"}),
    [](const ::testing::TestParamInfo<SizeCase>& p) { return std::string(p.param.name); });

TEST(EncodeC2paTable, StorePrefixThenZeros) {
  const Bytes prefix = bytes_of({9, 8, 7});
  Result<Bytes> encoded = encode_c2pa_table(std::string_view("ab"), prefix, 8);
  ASSERT_TRUE(encoded.ok());
  EXPECT_EQ(*encoded, header(0, 1, 20, 2, 22, 8, bytes_of({'a', 'b', 9, 8, 7, 0, 0, 0, 0, 0})));

  // A store length of 0 writes no store; an empty URI no URI.
  Result<Bytes> bare = encode_c2pa_table(std::string_view(""), ByteView(), 0);
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(*bare, bytes_of({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // A prefix longer than the store breaks the caller's side of the contract.
  EXPECT_THROW((void)encode_c2pa_table(std::nullopt, prefix, 2), glyphward::InvariantFailure);
}

// A hand-made font holding the given tables in the given directory order.
Bytes font_with(const std::vector<std::pair<std::string, Bytes>>& tables) {
  gwtest::TableList list;
  for (const auto& [tag, data] : tables) list.add(tag, data);
  Result<Bytes> written = glyphward::write_sfnt(list.font);
  return written.ok() ? *written : Bytes();
}

TEST(ReadC2paTable, UsesTheFirstC2paTableAndReportsItsDefects) {
  const Bytes first = header(0, 1, 0, 0, 20, 3, bytes_of({1, 2, 3}));
  const Bytes second = header(0, 1, 20, 1, 0, 0, gwtest::text_bytes("z"));
  // The writer keeps equal tags in list order, so `first` is first in the directory.
  const Bytes font = font_with({{"C2PA", first}, {"C2PA", second}, {"head", gwtest::head_table()}});
  Result<ByteView> store = glyphward::read_manifest_store(font);
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(Bytes(store->begin(), store->end()), bytes_of({1, 2, 3}));
  Result<std::optional<std::string_view>> uri = glyphward::read_active_manifest_uri(font);
  ASSERT_TRUE(uri.ok());
  EXPECT_FALSE(uri->has_value());

  const Bytes swapped = font_with({{"C2PA", second}, {"C2PA", first}});
  EXPECT_EQ(glyphward::read_manifest_store(swapped).error(),
            FontError::invalid_c2pa_table("C2PA table has no embedded manifest store"));
  EXPECT_EQ(**glyphward::read_active_manifest_uri(swapped), "z");

  // A bad URI spoils reading the store too, and vice versa.
  const Bytes bad_uri = font_with({{"C2PA", header(0, 1, 20, 1, 21, 1, bytes_of({0xFF, 7}))}});
  EXPECT_EQ(glyphward::read_manifest_store(bad_uri).error(),
            FontError::invalid_c2pa_table("active manifest URI is not valid UTF-8"));
  const Bytes bad_store = font_with({{"C2PA", header(0, 1, 20, 1, 21, 2, bytes_of({'x', 7}))}});
  EXPECT_EQ(glyphward::read_active_manifest_uri(bad_store).error(),
            FontError::invalid_c2pa_table("manifest store extends past end of table"));

  const Bytes none = font_with({{"c2pa", first}, {"C2P ", first}});
  EXPECT_EQ(glyphward::read_c2pa_table(none).error(), FontError::no_c2pa_table());
  EXPECT_EQ(glyphward::read_manifest_store(none).error(), FontError::no_c2pa_table());
  EXPECT_EQ(glyphward::read_active_manifest_uri(none).error(), FontError::no_c2pa_table());

  const Bytes empty_store = font_with({{"C2PA", header(0, 1, 0, 0, 20, 0)}});
  Result<ByteView> empty = glyphward::read_manifest_store(empty_store);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());

  EXPECT_EQ(glyphward::read_c2pa_table(Bytes(11, 0)).error(), FontError::not_sfnt());
}

}  // namespace
