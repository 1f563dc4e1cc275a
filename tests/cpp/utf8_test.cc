#include "sfnt/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::decode_utf8_lossy;
using glyphward::is_valid_utf8;

const std::string kFffd = "\xEF\xBF\xBD";

std::string repeat_fffd(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += kFffd;
  return out;
}

struct Utf8Case {
  const char* name;
  Bytes input;
  bool valid;
  std::string lossy;  // expected decode_utf8_lossy output
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

std::string as_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::vector<Utf8Case> cases() {
  using gwtest::bytes_of;
  return {
      {"empty", {}, true, ""},
      {"ascii_with_nul", bytes_of({'a', 0x00, 'b', 0x7F}), true, std::string("a\0b\x7F", 4)},
      {"two_byte_min", bytes_of({0xC2, 0x80}), true, "\xC2\x80"},
      {"two_byte_max", bytes_of({0xDF, 0xBF}), true, "\xDF\xBF"},
      {"three_byte_min", bytes_of({0xE0, 0xA0, 0x80}), true, "\xE0\xA0\x80"},
      {"before_surrogates", bytes_of({0xED, 0x9F, 0xBF}), true, "\xED\x9F\xBF"},
      {"after_surrogates", bytes_of({0xEE, 0x80, 0x80}), true, "\xEE\x80\x80"},
      {"u_ffff", bytes_of({0xEF, 0xBF, 0xBF}), true, "\xEF\xBF\xBF"},
      {"four_byte_min", bytes_of({0xF0, 0x90, 0x80, 0x80}), true, "\xF0\x90\x80\x80"},
      {"u_10ffff", bytes_of({0xF4, 0x8F, 0xBF, 0xBF}), true, "\xF4\x8F\xBF\xBF"},
      {"replacement_char_itself", bytes_of({0xEF, 0xBF, 0xBD}), true, kFffd},
      // Overlong forms: C0/C1 never lead; E0 and F0 restrict their second byte.
      {"overlong_c0_af", bytes_of({0xC0, 0xAF}), false, repeat_fffd(2)},
      {"overlong_c1_bf", bytes_of({0xC1, 0xBF}), false, repeat_fffd(2)},
      {"overlong_e0_80_af", bytes_of({0xE0, 0x80, 0xAF}), false, repeat_fffd(3)},
      {"overlong_e0_9f_bf", bytes_of({0xE0, 0x9F, 0xBF}), false, repeat_fffd(3)},
      {"overlong_f0_8f_bf_bf", bytes_of({0xF0, 0x8F, 0xBF, 0xBF}), false, repeat_fffd(4)},
      // Encoded surrogates.
      {"surrogate_ed_a0_80", bytes_of({0xED, 0xA0, 0x80}), false, repeat_fffd(3)},
      {"surrogate_ed_bf_bf", bytes_of({0xED, 0xBF, 0xBF}), false, repeat_fffd(3)},
      // Above U+10FFFF.
      {"above_max_f4_90", bytes_of({0xF4, 0x90, 0x80, 0x80}), false, repeat_fffd(4)},
      {"lead_f5", bytes_of({0xF5, 0x80, 0x80, 0x80}), false, repeat_fffd(4)},
      {"lead_f8", bytes_of({0xF8, 0x88, 0x80, 0x80, 0x80}), false, repeat_fffd(5)},
      {"lead_fe_ff", bytes_of({0xFE, 0xFF}), false, repeat_fffd(2)},
      // Continuation bytes without a lead.
      {"lone_continuation", bytes_of({0x80}), false, kFffd},
      {"continuations", bytes_of({'x', 0x80, 0xBF, 'y'}), false, "x" + repeat_fffd(2) + "y"},
      // Truncated sequences: a valid prefix is one maximal subpart.
      {"truncated_two_at_end", bytes_of({'a', 0xC3}), false, "a" + kFffd},
      {"truncated_three_at_end", bytes_of({0xE2, 0x82}), false, kFffd},
      {"truncated_four_at_end", bytes_of({0xF0, 0x9F, 0x98}), false, kFffd},
      {"truncated_four_then_ascii", bytes_of({0xF0, 0x9F, 0x98, 0x41}), false, kFffd + "A"},
      {"truncated_three_then_ascii", bytes_of({0xE1, 0x80, 0x41}), false, kFffd + "A"},
      {"truncated_ed_prefix", bytes_of({0xED, 0x9F}), false, kFffd},
      {"ed_then_surrogate_byte", bytes_of({0xED, 0xA0}), false, repeat_fffd(2)},
      {"lead_then_lead", bytes_of({0xC2, 0xC2, 0x80}), false, kFffd + "\xC2\x80"},
      {"truncated_then_valid", bytes_of({0xE2, 0x82, 0xE2, 0x82, 0xAC}), false, kFffd + "\xE2\x82\xAC"},
      // The Unicode Standard's example for the substitution of maximal subparts.
      {"unicode_table_3_8",
       bytes_of({0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64}), false,
       "a" + repeat_fffd(3) + "b" + kFffd + "c" + repeat_fffd(2) + "d"},
      {"tag_of_ff", bytes_of({0xFF, 0xFF, 0xFF, 0xFF}), false, repeat_fffd(4)},
  };
}

class Utf8CaseTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8CaseTest, ValidityAndLossyDecoding) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(is_valid_utf8(c.input), c.valid);
  EXPECT_EQ(decode_utf8_lossy(c.input), c.lossy);
  if (c.valid) {
    EXPECT_EQ(c.lossy, as_string(c.input));
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, Utf8CaseTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Utf8Case>& p) { return std::string(p.param.name); });

// An independent validator: decode by the bit patterns, then reject
// overlong forms, surrogates and values above U+10FFFF.
bool reference_valid(const Bytes& s) {
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t b = s[i];
    size_t n;
    uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2, cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3, cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4, cp = b & 0x07;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const uint32_t min = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

TEST(Utf8, AgreesWithReferenceOnEveryOneTwoAndThreeByteInput) {
  Bytes s(1);
  for (int a = 0; a < 256; ++a) {
    s[0] = static_cast<uint8_t>(a);
    ASSERT_EQ(is_valid_utf8(s), reference_valid(s)) << a;
  }
  s.resize(2);
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      s[0] = static_cast<uint8_t>(a), s[1] = static_cast<uint8_t>(b);
      ASSERT_EQ(is_valid_utf8(s), reference_valid(s)) << a << " " << b;
    }
  }
  s.resize(3);
  for (int a = 0xC0; a < 256; ++a) {  // below C0 the first byte decides alone, covered above
    for (int b = 0; b < 256; ++b) {
      for (int c = 0; c < 256; ++c) {
        s[0] = static_cast<uint8_t>(a), s[1] = static_cast<uint8_t>(b), s[2] = static_cast<uint8_t>(c);
        ASSERT_EQ(is_valid_utf8(s), reference_valid(s)) << a << " " << b << " " << c;
      }
    }
  }
}

TEST(Utf8, AgreesWithReferenceOnFourByteInputs) {
  const int interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0, 0xFF};
  Bytes s(4);
  for (int a = 0xE0; a < 256; ++a) {
    for (int b : interesting) {
      for (int c : interesting) {
        for (int d : interesting) {
          s = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
          ASSERT_EQ(is_valid_utf8(s), reference_valid(s)) << a << " " << b << " " << c << " " << d;
        }
      }
    }
  }
}

// Random text made mostly of the bytes that matter: the decoder's output is
// always valid, reproduces valid input exactly and changes invalid input.
TEST(Utf8, LossyDecodingProperties) {
  const uint8_t alphabet[] = {0x41, 0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                              0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  std::mt19937 rng(5);
  int valid_seen = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes s(rng() % 9);
    for (uint8_t& b : s) b = alphabet[rng() % sizeof alphabet];
    const bool valid = is_valid_utf8(s);
    ASSERT_EQ(valid, reference_valid(s));
    const std::string decoded = decode_utf8_lossy(s);
    ASSERT_TRUE(is_valid_utf8(gwtest::text_bytes(decoded)));
    ASSERT_EQ(decoded == as_string(s), valid);
    valid_seen += valid;
  }
  EXPECT_GT(valid_seen, 100);  // the generator does produce both kinds
}

}  // namespace
