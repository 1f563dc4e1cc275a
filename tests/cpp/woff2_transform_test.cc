// glyphward::woff2: the glyf/loca and hmtx transforms undone, on hand-made
// transformed tables whose rebuilt bytes follow from the reference decoder's
// rules (woff2_dec.cc), and on hostile ones.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "allocation_guard.h"
#include "test_support.h"
#include "woff2/reconstruct_glyf.h"
#include "woff2/reconstruct_hmtx.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::woff2::reconstruct_glyf;
using glyphward::woff2::reconstruct_hmtx;
using glyphward::woff2::ReconstructedGlyf;
using gwtest::be16;
using gwtest::be32;
using gwtest::bytes_of;

void put16(Bytes& out, unsigned value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

// A transformed glyf table, stream by stream (W3C WOFF2, 5.1).
struct Transformed {
  uint16_t num_glyphs = 0;
  uint16_t index_format = 0;
  Bytes n_contours, n_points, flags, glyphs, composites, bbox_bitmap, bboxes, instructions, overlap;

  Transformed(uint16_t glyph_count, uint16_t format) : num_glyphs(glyph_count), index_format(format) {
    bbox_bitmap.assign(((glyph_count + 31) / 32) * 4, 0);
  }

  // A point as a four-byte triplet (flags 124 to 127): any 16-bit deltas.
  void point(int dx, int dy, bool on_curve = true) {
    const int x_sign = dx >= 0 ? 1 : 0;
    const int y_sign = dy >= 0 ? 2 : 0;
    flags.push_back(static_cast<uint8_t>(124 + x_sign + y_sign + (on_curve ? 0 : 0x80)));
    put16(glyphs, static_cast<unsigned>(dx < 0 ? -dx : dx));
    put16(glyphs, static_cast<unsigned>(dy < 0 ? -dy : dy));
  }

  void set_bbox(uint16_t glyph, int x_min, int y_min, int x_max, int y_max) {
    bbox_bitmap[glyph >> 3] |= static_cast<uint8_t>(0x80 >> (glyph & 7));
    for (int v : {x_min, y_min, x_max, y_max}) put16(bboxes, static_cast<unsigned>(v) & 0xffff);
  }

  Bytes bytes() const {
    Bytes out;
    put16(out, 0);
    put16(out, overlap.empty() ? 0 : 1);
    put16(out, num_glyphs);
    put16(out, index_format);
    Bytes bbox_stream = bbox_bitmap;
    bbox_stream.insert(bbox_stream.end(), bboxes.begin(), bboxes.end());
    const Bytes* streams[] = {&n_contours, &n_points, &flags, &glyphs, &composites, &bbox_stream, &instructions};
    for (const Bytes* s : streams) {
      put16(out, static_cast<unsigned>(s->size() >> 16));
      put16(out, static_cast<unsigned>(s->size() & 0xffff));
    }
    for (const Bytes* s : streams) out.insert(out.end(), s->begin(), s->end());
    out.insert(out.end(), overlap.begin(), overlap.end());
    return out;
  }

  uint64_t loca_length() const { return (index_format ? 4u : 2u) * (num_glyphs + 1u); }
};

ReconstructedGlyf rebuilt(const Transformed& t, uint64_t limit = 1 << 20) {
  auto result = reconstruct_glyf(t.bytes(), t.loca_length(), limit);
  if (!result) throw std::runtime_error(result.error().message());
  return std::move(*result);
}

std::string failure_of(const Bytes& transformed, uint64_t loca_length, uint64_t limit = 1 << 20) {
  auto result = reconstruct_glyf(transformed, loca_length, limit);
  return result ? "" : result.error().message();
}

// One simple glyph: a triangle with an off-curve point, instructions, the
// bbox computed; an empty glyph; a composite with instructions.
Transformed three_glyphs(uint16_t index_format) {
  Transformed t(3, index_format);
  put16(t.n_contours, 1);
  t.n_points.push_back(3);
  t.point(10, 20);
  t.point(300, 1, false);  // dx needs two bytes
  t.point(-305, -401);     // every extreme but yMax's... from a later point
  t.glyphs.push_back(2);  // instructionLength (255UInt16)
  t.instructions = bytes_of({0xB0, 0x01});
  put16(t.n_contours, 0);
  put16(t.n_contours, 0xffff);
  t.set_bbox(2, -1, -2, 3, 4);
  // One component: ARG_1_AND_2_ARE_WORDS | WE_HAVE_INSTRUCTIONS, glyph 0, args (1, 2).
  t.composites = bytes_of({0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02});
  t.glyphs.push_back(1);  // the composite's instructionLength
  t.instructions.push_back(0x2C);
  return t;
}

TEST(ReconstructGlyf, RebuildsSimpleEmptyAndCompositeGlyphsAsTheReference) {
  for (uint16_t format : {0, 1}) {
    SCOPED_TRACE(format);
    ReconstructedGlyf out = rebuilt(three_glyphs(format));
    const Bytes composite = bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x03, 0x00, 0x04, 0x01, 0x01, 0x00,
                                      0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01, 0x2C});
    // Simple glyph (10, 20), (310, 21), (5, -380): bbox (5, -380)-(310, 21)
    // computed; flags 0x37 (on, x and y short positive), 0x24 (off, x long,
    // y short positive), 0x01 (on, both long); 16 header + 3 flags + x (1 + 2
    // + 2) + y (1 + 1 + 2) = 28. + 3 flags + x (1 + 2 + 1) + y (1 + 2) = 26, padded to 28.
    ASSERT_EQ(out.glyf.size(), 28u + 24u);  // the composite padded from 21
    EXPECT_EQ(Bytes(out.glyf.begin(), out.glyf.begin() + 19),
              bytes_of({0x00, 0x01, 0x00, 0x05, 0xFE, 0x84, 0x01, 0x36, 0x00, 0x15, 0x00, 0x02, 0x00, 0x02, 0xB0,
                        0x01, 0x37, 0x24, 0x01}));
    EXPECT_EQ(Bytes(out.glyf.begin() + 19, out.glyf.begin() + 28),
              bytes_of({0x0A, 0x01, 0x2C, 0xFE, 0xCF, 0x14, 0x01, 0xFE, 0x6F}));
    EXPECT_EQ(Bytes(out.glyf.begin() + 28, out.glyf.begin() + 49), composite);
    EXPECT_EQ(Bytes(out.glyf.begin() + 49, out.glyf.end()), bytes_of({0, 0, 0}));
    const std::vector<uint32_t> offsets = {0, 28, 28, 52};
    ASSERT_EQ(out.loca.size(), (format ? 4u : 2u) * 4);
    for (size_t i = 0; i < offsets.size(); ++i) {
      EXPECT_EQ(format ? be32(out.loca, 4 * i) : 2u * be16(out.loca, 2 * i), offsets[i]) << i;
    }
  }
}

TEST(ReconstructGlyf, RepeatsFlagsInRunsOfAtMost255AndMarksOverlap) {
  for (bool overlap : {false, true}) {
    Transformed t(1, 0);
    put16(t.n_contours, 1);
    t.n_points.push_back(255);  // 255UInt16: 255 then a byte, 253 + 47 = 300
    t.n_points.push_back(47);
    for (int i = 0; i < 300; ++i) t.point(0, 0);
    t.glyphs.push_back(0);
    if (overlap) t.overlap = bytes_of({0x80});
    ReconstructedGlyf out = rebuilt(t);
    const uint8_t same = 0x31;  // on curve, x same, y same
    const uint8_t first = overlap ? same | 0x40 : same;
    Bytes flags(out.glyf.begin() + 14, out.glyf.end());
    // Overlap: the first flag differs, so 299 equal flags follow it.
    const Bytes expected = overlap ? bytes_of({first, same | 8, 255, same | 8, 42})
                                   : bytes_of({same | 8, 255, same | 8, 43});
    EXPECT_EQ(Bytes(flags.begin(), flags.begin() + static_cast<long>(expected.size())), expected) << overlap;
    EXPECT_EQ(be16(out.glyf, 10), 299);
  }
}

TEST(ReconstructGlyf, ExplicitBboxIsCopiedNotComputed) {
  Transformed t(1, 1);
  put16(t.n_contours, 1);
  t.n_points.push_back(1);
  t.point(5, 5);
  t.glyphs.push_back(0);
  t.set_bbox(0, -100, -200, 100, 200);
  ReconstructedGlyf out = rebuilt(t);
  EXPECT_EQ(Bytes(out.glyf.begin() + 2, out.glyf.begin() + 10),
            bytes_of({0xFF, 0x9C, 0xFF, 0x38, 0x00, 0x64, 0x00, 0xC8}));
}

TEST(ReconstructGlyf, RejectsMalformedStreams) {
  struct Case {
    const char* name;
    void (*spoil)(Transformed&);
    const char* message;
  };
  const Case cases[] = {
      {"empty glyph with a bbox", [](Transformed& t) { t.set_bbox(1, 0, 0, 0, 0); }, "empty glyph with an explicit bbox"},
      {"composite without a bbox", [](Transformed& t) { t.bbox_bitmap[0] = 0; t.bboxes.clear(); },
       "composite glyph without an explicit bbox"},
      {"points beyond the flag stream", [](Transformed& t) { t.n_points = bytes_of({253, 0xFF, 0xFF}); },
       "65535 points but the flag stream is shorter"},
      {"instructions beyond their stream", [](Transformed& t) { t.instructions.pop_back(); },
       "instruction stream truncated"},
      {"composite stream truncated", [](Transformed& t) { t.composites.pop_back(); }, "composite stream truncated"},
      {"nContour stream short", [](Transformed& t) { t.n_contours.pop_back(); }, "nContour stream truncated"},
  };
  for (const Case& c : cases) {
    Transformed t = three_glyphs(0);
    c.spoil(t);
    EXPECT_NE(failure_of(t.bytes(), t.loca_length()).find(c.message), std::string::npos)
        << c.name << ": " << failure_of(t.bytes(), t.loca_length());
  }
  const Transformed t = three_glyphs(0);
  EXPECT_NE(failure_of(t.bytes(), 16).find("loca origLength 16 does not match"), std::string::npos);
  EXPECT_NE(failure_of(t.bytes(), t.loca_length(), 51).find("would exceed 51 bytes"), std::string::npos);
  EXPECT_EQ(failure_of(t.bytes(), t.loca_length(), 52), "");
}

TEST(ReconstructGlyf, EveryTruncationFailsCleanly) {
  const Bytes whole = three_glyphs(1).bytes();
  for (size_t length = 0; length < whole.size(); ++length) {
    Bytes part(whole.begin(), whole.begin() + static_cast<long>(length));
    EXPECT_NE(failure_of(part, 16), "") << length;
  }
}

TEST(ReconstructGlyf, ShortLocaThatWouldWrapIsRefused) {
  // 2 glyphs of 65535 points with long deltas: 2 * (14 + 65535 * 5) bytes, past 0x1FFFE.
  Transformed t(2, 0);
  for (int g = 0; g < 2; ++g) {
    put16(t.n_contours, 1);
    t.n_points.push_back(253);
    put16(t.n_points, 65535);
    for (int i = 0; i < 65535; ++i) t.point(i % 2 ? 1000 : -1000, i % 2 ? 1000 : -1000);
    t.glyphs.push_back(0);
  }
  EXPECT_EQ(failure_of(t.bytes(), t.loca_length(), 1 << 30), "invalid font: WOFF2 glyf transform: glyf too large for short loca offsets");
}

TEST(ReconstructGlyf, HostileCountsAllocateNothingLarge) {
  // 65535 glyphs, each claiming 65534 contours of 761 points: the first
  // glyph's counts are all there, 49871374 points, but the flag stream
  // holds one byte; the rest of the nPoints stream is missing.
  Transformed t(65535, 1);
  for (int i = 0; i < 65535; ++i) put16(t.n_contours, 0xFFFE);
  for (int i = 0; i < 65534; ++i) t.n_points.insert(t.n_points.end(), {254, 0xFF});
  t.flags.push_back(0);
  gwtest::reset_largest_allocation();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(failure_of(t.bytes(), t.loca_length(), 1 << 20).find("49871374 points but the flag stream is shorter"),
            std::string::npos);
  // Another glyph's nPoints cut short.
  t.n_points.resize(1000);
  EXPECT_NE(failure_of(t.bytes(), t.loca_length(), 1 << 20).find("nPoints stream truncated"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  if (gwtest::allocation_guard_active()) {
    EXPECT_LT(gwtest::largest_allocation(), size_t{1} << 20);
  }
}

Bytes hmtx_input(uint8_t flags, std::initializer_list<int> values) {
  Bytes out{flags};
  for (int v : values) put16(out, static_cast<unsigned>(v) & 0xffff);
  return out;
}

TEST(ReconstructHmtx, TakesLeftOutBearingsFromXMin) {
  const ReconstructedGlyf glyf = rebuilt(three_glyphs(0));  // xMin 5, empty, -1
  // Both lsb arrays left out: advances only.
  auto both = reconstruct_hmtx(hmtx_input(3, {500, 600}), 3, 2, glyf.glyf, glyf.loca);
  ASSERT_TRUE(both.ok()) << both.error().message();
  EXPECT_EQ(*both, bytes_of({0x01, 0xF4, 0x00, 0x05, 0x02, 0x58, 0x00, 0x00, 0xFF, 0xFF}));
  // Proportional lsbs kept, monospace left out.
  auto kept = reconstruct_hmtx(hmtx_input(2, {500, 600, 7, -7}), 3, 2, glyf.glyf, glyf.loca);
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(*kept, bytes_of({0x01, 0xF4, 0x00, 0x07, 0x02, 0x58, 0xFF, 0xF9, 0xFF, 0xFF}));
  // Monospace lsbs kept, proportional left out.
  auto mono = reconstruct_hmtx(hmtx_input(1, {500, 9, -9}), 3, 1, glyf.glyf, glyf.loca);
  ASSERT_TRUE(mono.ok()) << mono.error().message();
  EXPECT_EQ(*mono, bytes_of({0x01, 0xF4, 0x00, 0x05, 0x00, 0x09, 0xFF, 0xF7}));
}

TEST(ReconstructHmtx, GlyphWithZeroContoursHasZeroXMin) {
  // An untransformed glyf: glyph 0 has data but numberOfContours 0, glyph 1
  // numberOfContours 1 and xMin -3.
  const Bytes glyf = bytes_of({0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes loca = bytes_of({0, 0, 0, 6, 0, 12});
  auto hmtx = reconstruct_hmtx(hmtx_input(3, {100}), 2, 1, glyf, loca);
  ASSERT_TRUE(hmtx.ok()) << hmtx.error().message();
  EXPECT_EQ(*hmtx, bytes_of({0, 100, 0, 0, 0xFF, 0xFD}));
}

TEST(ReconstructHmtx, RejectsWhatTheReferenceRejects) {
  const ReconstructedGlyf glyf = rebuilt(three_glyphs(1));
  struct Case {
    Bytes input;
    uint32_t num_hmetrics;
    const char* message;
  };
  const Case cases[] = {
      {hmtx_input(0, {500}), 1, "neither lsb array left out"},
      {hmtx_input(7, {500}), 1, "reserved flag bits set"},
      {hmtx_input(3, {500}), 0, "numberOfHMetrics is 0"},
      {hmtx_input(3, {1, 2, 3, 4}), 4, "numberOfHMetrics above numGlyphs"},
      {hmtx_input(3, {500}), 2, "advanceWidth array truncated"},
      {hmtx_input(1, {500, 1}), 1, "lsb array truncated"},
      {Bytes{}, 1, "flags missing"},
  };
  for (const Case& c : cases) {
    auto result = reconstruct_hmtx(c.input, 3, c.num_hmetrics, glyf.glyf, glyf.loca);
    ASSERT_FALSE(result.ok()) << c.message;
    EXPECT_NE(result.error().message().find(c.message), std::string::npos) << result.error().message();
  }
  auto bad_loca = reconstruct_hmtx(hmtx_input(3, {500}), 3, 1, glyf.glyf, ByteView(glyf.loca.data(), 10));
  ASSERT_FALSE(bad_loca.ok());
  EXPECT_NE(bad_loca.error().message().find("not 2 or 4 times 4"), std::string::npos);
  auto outside = reconstruct_hmtx(hmtx_input(3, {500}), 3, 1, ByteView(glyf.glyf.data(), 30), glyf.loca);
  ASSERT_FALSE(outside.ok());
  EXPECT_NE(outside.error().message().find("glyph 2 lies outside glyf"), std::string::npos);
}

}  // namespace
