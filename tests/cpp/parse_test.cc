#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sfnt/sfnt_font.h"
#include "test_support.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::FontError;
using glyphward::parse_sfnt;
using glyphward::Result;
using glyphward::SfntFont;
using gwtest::Record;

Bytes with_version(uint32_t version, size_t length) {
  Bytes font(length, 0);
  if (length >= 4) gwtest::put32(font, 0, version);
  return font;
}

TEST(ParseSfnt, VersionWordDecidesFirst) {
  struct Case {
    uint32_t version;
    std::optional<FontError> error;
  };
  const Case cases[] = {{0x00010000, std::nullopt},         {0x4F54544F, std::nullopt},
                        {0x74727565, std::nullopt},         {0x74797031, std::nullopt},
                        {0x74746366, FontError::font_collection()}, {0x774F4646, FontError::woff_font()},
                        {0x774F4632, FontError::woff_font()},       {0x00020000, FontError::not_sfnt()},
                        {0x00000000, FontError::not_sfnt()},        {0x4F54544E, FontError::not_sfnt()}};
  for (const Case& c : cases) {
    // numTables is garbage (0xFFFF) after the version: a refused version
    // is reported before the directory is looked at.
    Bytes font = with_version(c.version, 12);
    gwtest::put16(font, 4, 0xFFFF);
    Result<SfntFont> parsed = parse_sfnt(font);
    if (c.error) {
      EXPECT_EQ(parsed.error(), *c.error) << std::hex << c.version;
    } else {
      EXPECT_EQ(parsed.error(), FontError::invalid_font("table directory truncated")) << std::hex << c.version;
      gwtest::put16(font, 4, 0);
      Result<SfntFont> empty = parse_sfnt(font);
      ASSERT_TRUE(empty.ok());
      EXPECT_EQ(empty->sfnt_version, c.version);
      EXPECT_TRUE(empty->tables.empty());
    }
  }
  // Under 12 bytes nothing else matters.
  for (size_t length = 0; length < 12; ++length) {
    EXPECT_EQ(parse_sfnt(with_version(0x74746366, length)).error(), FontError::not_sfnt()) << length;
    EXPECT_EQ(parse_sfnt(with_version(0x00010000, length)).error(), FontError::not_sfnt()) << length;
  }
}

TEST(ParseSfnt, DirectoryLength) {
  Bytes font = gwtest::raw_font({{"abcd", 28, 0}}, 28, 0x4F54544F);
  ASSERT_TRUE(parse_sfnt(font).ok());
  font.pop_back();
  EXPECT_EQ(parse_sfnt(font).error(), FontError::invalid_font("table directory truncated"));
}

TEST(ParseSfnt, TablesViewTheInputInDirectoryOrder) {
  // Duplicates, a record pointing into the directory itself, overlapping
  // ranges, an empty table at the very end.
  Bytes font = gwtest::raw_font(
      {{"zzzz", 76, 3}, {"head", 0, 20}, {"zzzz", 77, 3}, {"aaaa", 80, 0}}, 80);
  gwtest::place(font, 76, gwtest::bytes_of({1, 2, 3, 4}));
  Result<SfntFont> parsed = parse_sfnt(font);
  ASSERT_TRUE(parsed.ok()) << parsed.error().message();
  ASSERT_EQ(parsed->tables.size(), 4u);
  const char* tags[] = {"zzzz", "head", "zzzz", "aaaa"};
  const size_t offsets[] = {76, 0, 77, 80};
  const size_t lengths[] = {3, 20, 3, 0};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(parsed->tables[i].tag, gwtest::tag_of(tags[i]));
    EXPECT_EQ(parsed->tables[i].data.data(), font.data() + offsets[i]);
    EXPECT_EQ(parsed->tables[i].data.size(), lengths[i]);
  }
  EXPECT_EQ(glyphward::find_table(*parsed, gwtest::tag_of("zzzz")), &parsed->tables[0]);
  EXPECT_EQ(glyphward::find_table(*parsed, gwtest::tag_of("ZZZZ")), nullptr);
}

TEST(ParseSfnt, TableBoundsAndTheTagInTheMessage) {
  struct Case {
    std::string tag;
    uint32_t offset, length;
    std::string detail;  // empty: accepted
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"glyf", 28, 4, ""},
      {"glyf", 28, 5, "table glyf extends past end of file"},
      {"glyf", 32, 0, ""},
      {"glyf", 33, 0, "table glyf extends past end of file"},
      {"glyf", 0xFFFFFFFF, 0xFFFFFFFF, "table glyf extends past end of file"},
      {"glyf", 4, 0xFFFFFFFF, "table glyf extends past end of file"},
      {"cvt ", 28, 5, "table cvt  extends past end of file"},
      {"\xFF\xFF\xFF\xFF", 28, 5, "table " + fffd + fffd + fffd + fffd + " extends past end of file"},
      {std::string(4, '\0'), 28, 5, "table " + std::string(4, '\0') + " extends past end of file"},
      {"\xE2\x82\xAC" "a", 28, 5, "table \xE2\x82\xAC" "a extends past end of file"},
      {"a\xE2\x82" "b", 28, 5, "table a" + fffd + "b extends past end of file"},
  };
  for (const Case& c : cases) {
    const Bytes font = gwtest::raw_font({{c.tag, c.offset, c.length}}, 32);
    Result<SfntFont> parsed = parse_sfnt(font);
    if (c.detail.empty()) {
      EXPECT_TRUE(parsed.ok()) << c.offset << " " << c.length;
    } else {
      ASSERT_FALSE(parsed.ok());
      EXPECT_EQ(parsed.error().message(), "invalid font: " + c.detail);
    }
  }
  // The first failing record decides.
  const Bytes font = gwtest::raw_font({{"good", 56, 4}, {"bad1", 56, 5}, {"bad2", 99, 9}}, 60);
  EXPECT_EQ(parse_sfnt(font).error(), FontError::invalid_font("table bad1 extends past end of file"));
}

}  // namespace
