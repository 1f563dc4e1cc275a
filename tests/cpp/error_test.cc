#include "sfnt/font_error.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

namespace {

using glyphward::FontError;
using glyphward::FontErrorKind;
using glyphward::InvariantFailure;
using glyphward::Result;

TEST(FontError, FixedMessages) {
  EXPECT_EQ(FontError::no_c2pa_table().message(), "no C2PA table found in font");
  EXPECT_EQ(FontError::not_sfnt().message(), "not a supported SFNT (TrueType/OpenType) font");
  EXPECT_EQ(FontError::font_collection().message(), "font collections (ttcf) are not supported");
  EXPECT_EQ(FontError::woff_font().message(), "WOFF/WOFF2 fonts are not supported; decompress to SFNT first");
}

TEST(FontError, DetailIsInsertedVerbatim) {
  EXPECT_EQ(FontError::invalid_font("table directory truncated").message(),
            "invalid font: table directory truncated");
  EXPECT_EQ(FontError::invalid_c2pa_table("reserve_size must be non-zero").message(),
            "invalid C2PA table: reserve_size must be non-zero");
  EXPECT_EQ(FontError::validation_failed("hash mismatch").message(), "validation failed: hash mismatch");
  // No quoting, escaping or trimming, and embedded NULs survive.
  EXPECT_EQ(FontError::invalid_font(" {} \"x\"\n ").message(), "invalid font:  {} \"x\"\n ");
  EXPECT_EQ(FontError::invalid_font(std::string("a\0b", 3)).message(), std::string("invalid font: a\0b", 17));
  EXPECT_EQ(FontError::invalid_c2pa_table("").message(), "invalid C2PA table: ");
}

TEST(FontError, IoErrorUsesTheCodesOwnDescription) {
  const std::error_code code = std::make_error_code(std::errc::no_such_file_or_directory);
  const FontError error = FontError::io_error(code);
  EXPECT_EQ(error.kind(), FontErrorKind::IoError);
  EXPECT_EQ(error.message(), "I/O error: " + code.message());
  EXPECT_NE(code.message(), "");
  // A different code gives a different text.
  const std::error_code other = std::make_error_code(std::errc::permission_denied);
  EXPECT_EQ(FontError::io_error(other).message(), "I/O error: " + other.message());
  EXPECT_NE(FontError::io_error(other).message(), error.message());
}

TEST(FontError, KindsAndEquality) {
  EXPECT_EQ(FontError::no_c2pa_table().kind(), FontErrorKind::NoC2paTable);
  EXPECT_EQ(FontError::not_sfnt().kind(), FontErrorKind::NotSfnt);
  EXPECT_EQ(FontError::font_collection().kind(), FontErrorKind::FontCollection);
  EXPECT_EQ(FontError::woff_font().kind(), FontErrorKind::WoffFont);
  EXPECT_EQ(FontError::invalid_font("x").kind(), FontErrorKind::InvalidFont);
  EXPECT_EQ(FontError::invalid_c2pa_table("x").kind(), FontErrorKind::InvalidC2paTable);
  EXPECT_EQ(FontError::validation_failed("x").kind(), FontErrorKind::ValidationFailed);

  EXPECT_EQ(FontError::invalid_font("x"), FontError::invalid_font("x"));
  EXPECT_FALSE(FontError::invalid_font("x") == FontError::invalid_font("y"));
  EXPECT_FALSE(FontError::invalid_font("x") == FontError::invalid_c2pa_table("x"));
  EXPECT_FALSE(FontError::io_error(std::make_error_code(std::errc::io_error)) ==
               FontError::io_error(std::make_error_code(std::errc::no_space_on_device)));
}

TEST(Result, HoldsValueOrError) {
  Result<int> good(7);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, 7);
  EXPECT_THROW((void)good.error(), InvariantFailure);

  Result<int> bad(FontError::not_sfnt());
  ASSERT_FALSE(bad.ok());
  EXPECT_FALSE(static_cast<bool>(bad));
  EXPECT_EQ(bad.error(), FontError::not_sfnt());
  try {
    (void)bad.value();
    ADD_FAILURE() << "value() of a failed result returned";
  } catch (const InvariantFailure& failure) {
    EXPECT_EQ(failure.message(), "value() called on a failed result");
    EXPECT_STREQ(failure.what(), "value() called on a failed result");
  }
}

}  // namespace
