#include "reconstruct_glyf.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "../sfnt/reader.h"
#include "glyph_points.h"
#include "stream_cursor.h"

namespace glyphward::woff2 {
namespace {

// Composite glyph flags (OpenType 'glyf').
constexpr uint16_t kArg1And2AreWords = 1 << 0;
constexpr uint16_t kWeHaveAScale = 1 << 3;
constexpr uint16_t kMoreComponents = 1 << 5;
constexpr uint16_t kWeHaveAnXAndYScale = 1 << 6;
constexpr uint16_t kWeHaveATwoByTwo = 1 << 7;
constexpr uint16_t kWeHaveInstructions = 1 << 8;

// Transformed 'glyf' header flags.
constexpr uint16_t kHasOverlapSimpleBitmap = 1 << 0;

constexpr uint16_t kCompositeContours = 0xffff;
constexpr size_t kSubstreamCount = 7;
constexpr uint64_t kHeaderSize = 8 + 4 * kSubstreamCount;

FontError failure(const std::string& what) { return FontError::invalid_font("WOFF2 glyf transform: " + what); }

FontError glyph_failure(uint32_t glyph, const std::string& what) {
  return failure("glyph " + std::to_string(glyph) + ": " + what);
}

bool bit_set(ByteView bitmap, uint32_t index) {
  return (bitmap[index >> 3] & (0x80u >> (index & 7))) != 0;
}

// The length of the composite glyph description at the composite stream's
// position, and whether any component asks for instructions.
bool measure_composite(StreamCursor stream, uint64_t* size, bool* have_instructions) {
  const uint64_t start = stream.offset();
  uint16_t flags = kMoreComponents;
  *have_instructions = false;
  while (flags & kMoreComponents) {
    if (!stream.read_u16(&flags)) return false;
    if (flags & kWeHaveInstructions) *have_instructions = true;
    uint64_t arguments = 2 + ((flags & kArg1And2AreWords) ? 4 : 2);
    if (flags & kWeHaveAScale) {
      arguments += 2;
    } else if (flags & kWeHaveAnXAndYScale) {
      arguments += 4;
    } else if (flags & kWeHaveATwoByTwo) {
      arguments += 8;
    }
    if (!stream.skip(arguments)) return false;
  }
  *size = stream.offset() - start;
  return true;
}

// The seven substreams and the per-glyph state the reconstruction reads.
struct Streams {
  StreamCursor contours, points, flags, glyphs, composites, bboxes, instructions;
  ByteView bbox_bitmap;
  ByteView overlap_bitmap;  // empty when the font has none
};

class GlyfBuilder {
 public:
  GlyfBuilder(Bytes* glyf, uint64_t limit) : glyf_(glyf), limit_(limit) {}

  // Room for one glyph of exactly `size` bytes (zero padding to four
  // included), or null when the limit would be passed.
  uint8_t* grow(uint64_t size) {
    const uint64_t start = glyf_->size();
    const uint64_t padded = (size + 3) & ~uint64_t{3};
    if (padded > limit_ || start > limit_ - padded) return nullptr;
    if (glyf_->capacity() < start + padded) {
      glyf_->reserve(static_cast<size_t>(std::max<uint64_t>(start + padded, std::min<uint64_t>(limit_, 2 * start))));
    }
    glyf_->resize(static_cast<size_t>(start + padded), 0);
    return glyf_->data() + start;
  }

 private:
  Bytes* glyf_;
  uint64_t limit_;
};

}  // namespace

Result<ReconstructedGlyf> reconstruct_glyf(ByteView transformed, uint64_t loca_length,
                                           uint64_t max_glyf_length, bool overlap_bitmap) {
  ReconstructedGlyf out;
  StreamCursor header(transformed);
  uint16_t version = 0;
  uint16_t option_flags = 0;
  if (!header.read_u16(&version) || !header.read_u16(&option_flags) || !header.read_u16(&out.num_glyphs) ||
      !header.read_u16(&out.index_format)) {
    return failure("header truncated");
  }
  const uint64_t expected_loca = uint64_t{out.index_format ? 4u : 2u} * (uint64_t{out.num_glyphs} + 1);
  if (loca_length != expected_loca) {
    return failure("loca origLength " + std::to_string(loca_length) + " does not match numGlyphs " +
                   std::to_string(out.num_glyphs) + " and indexFormat " + std::to_string(out.index_format) +
                   " (expected " + std::to_string(expected_loca) + ")");
  }
  if (!header.has(kHeaderSize - 8)) return failure("header truncated");

  std::array<ByteView, kSubstreamCount> parts;
  uint64_t offset = kHeaderSize;
  const ByteReader whole(transformed);
  static const char* const kNames[kSubstreamCount] = {"nContour", "nPoints", "flag", "glyph",
                                                      "composite", "bbox", "instruction"};
  for (size_t i = 0; i < kSubstreamCount; ++i) {
    uint32_t size = 0;
    if (!header.read_u32(&size)) return failure("header truncated");
    if (!whole.bytes_at(offset, size, &parts[i])) {
      return failure(std::string(kNames[i]) + " stream size " + std::to_string(size) +
                     " runs past the end of the table");
    }
    offset += size;
  }
  Streams s{StreamCursor(parts[0]), StreamCursor(parts[1]), StreamCursor(parts[2]), StreamCursor(parts[3]),
            StreamCursor(parts[4]), StreamCursor(parts[5]), StreamCursor(parts[6]), {}, {}};
  if (overlap_bitmap && (option_flags & kHasOverlapSimpleBitmap)) {
    if (!whole.bytes_at(offset, (uint64_t{out.num_glyphs} + 7) >> 3, &s.overlap_bitmap)) {
      return failure("overlapSimpleBitmap runs past the end of the table");
    }
  }
  const uint64_t bbox_bitmap_length = ((uint64_t{out.num_glyphs} + 31) >> 5) << 2;
  if (!s.bboxes.read_bytes(bbox_bitmap_length, &s.bbox_bitmap)) return failure("bbox bitmap truncated");

  std::vector<uint32_t> loca_values(size_t{out.num_glyphs} + 1);
  std::vector<GlyphPoint> points;
  EncodedFlags encoded;
  std::vector<uint32_t> contour_points;
  // loca holds 32-bit offsets: no glyf reaches 4 GiB.
  const uint64_t limit = std::min<uint64_t>(max_glyf_length, 0xfffffffcu);
  GlyfBuilder builder(&out.glyf, limit);
  // Rebuilt glyf is typically 1.1 to 1.4 times the transformed table: room
  // for that up front (never past the limit, never more than the input
  // justifies) saves copying the output as it grows.
  out.glyf.reserve(static_cast<size_t>(std::min<uint64_t>(limit, transformed.size() + transformed.size() / 2)));
  const std::string too_large = "rebuilt glyf would exceed " + std::to_string(max_glyf_length) + " bytes";

  for (uint32_t i = 0; i < out.num_glyphs; ++i) {
    loca_values[i] = static_cast<uint32_t>(out.glyf.size());
    const bool have_bbox = bit_set(s.bbox_bitmap, i);
    uint16_t n_contours = 0;
    if (!s.contours.read_u16(&n_contours)) return glyph_failure(i, "nContour stream truncated");

    if (n_contours == kCompositeContours) {
      if (!have_bbox) return glyph_failure(i, "composite glyph without an explicit bbox");
      uint64_t composite_size = 0;
      bool have_instructions = false;
      if (!measure_composite(s.composites, &composite_size, &have_instructions)) {
        return glyph_failure(i, "composite stream truncated");
      }
      uint32_t instruction_size = 0;
      if (have_instructions && !s.glyphs.read_255_uint16(&instruction_size)) {
        return glyph_failure(i, "glyph stream truncated (instruction length)");
      }
      ByteView bbox, composite, instructions;
      if (!s.bboxes.read_bytes(8, &bbox)) return glyph_failure(i, "bbox stream truncated");
      if (!s.composites.read_bytes(composite_size, &composite)) return glyph_failure(i, "composite stream truncated");
      if (have_instructions && !s.instructions.read_bytes(instruction_size, &instructions)) {
        return glyph_failure(i, "instruction stream truncated");
      }
      const uint64_t size = 10 + composite_size + (have_instructions ? 2 + instruction_size : 0);
      uint8_t* glyph = builder.grow(size);
      if (glyph == nullptr) return failure(too_large);
      ByteWriter w(glyph, static_cast<size_t>(size));
      w.put_u16(0, n_contours);
      w.put_bytes(2, bbox);
      w.put_bytes(10, composite);
      if (have_instructions) {
        w.put_u16(10 + composite_size, static_cast<uint16_t>(instruction_size));
        w.put_bytes(12 + composite_size, instructions);
      }
    } else if (n_contours > 0) {
      contour_points.clear();
      uint64_t total_points = 0;
      for (uint32_t j = 0; j < n_contours; ++j) {
        uint32_t n = 0;
        if (!s.points.read_255_uint16(&n)) return glyph_failure(i, "nPoints stream truncated");
        contour_points.push_back(n);
        total_points += n;
      }
      // Every point has one flag byte: the count is checked before anything
      // is allocated for it.
      ByteView flags;
      if (!s.flags.read_bytes(total_points, &flags)) {
        return glyph_failure(i, std::to_string(total_points) + " points but the flag stream is shorter");
      }
      uint64_t triplet_bytes = 0;
      if (!decode_triplets(flags, s.glyphs.rest(), &points, &triplet_bytes)) {
        return glyph_failure(i, "glyph stream truncated or coordinates out of range");
      }
      s.glyphs.skip(triplet_bytes);
      uint32_t instruction_size = 0;
      if (!s.glyphs.read_255_uint16(&instruction_size)) {
        return glyph_failure(i, "glyph stream truncated (instruction length)");
      }
      ByteView bbox, instructions;
      if (have_bbox && !s.bboxes.read_bytes(8, &bbox)) return glyph_failure(i, "bbox stream truncated");
      if (!s.instructions.read_bytes(instruction_size, &instructions)) {
        return glyph_failure(i, "instruction stream truncated");
      }
      const bool overlap = !s.overlap_bitmap.empty() && bit_set(s.overlap_bitmap, i);
      encode_flags(points, overlap, &encoded);
      const uint64_t points_size = encoded.size();
      const uint64_t header_size = 10 + 2 * uint64_t{n_contours} + 2 + instruction_size;
      uint8_t* glyph = builder.grow(header_size + points_size);
      if (glyph == nullptr) return failure(too_large);
      ByteWriter w(glyph, static_cast<size_t>(header_size + points_size));
      w.put_u16(0, n_contours);
      if (have_bbox) {
        w.put_bytes(2, bbox);
      } else {
        const GlyphBounds b = compute_bounds(points);
        w.put_u16(2, b.x_min);
        w.put_u16(4, b.y_min);
        w.put_u16(6, b.x_max);
        w.put_u16(8, b.y_max);
      }
      int64_t end_point = -1;
      for (uint32_t j = 0; j < n_contours; ++j) {
        end_point += contour_points[j];
        if (end_point >= 65536) return glyph_failure(i, "more than 65536 points");
        w.put_u16(10 + 2 * uint64_t{j}, static_cast<uint16_t>(end_point));
      }
      w.put_u16(10 + 2 * uint64_t{n_contours}, static_cast<uint16_t>(instruction_size));
      w.put_bytes(12 + 2 * uint64_t{n_contours}, instructions);
      write_glyph_points(points, encoded, w.span(header_size, points_size), points_size);
    } else if (have_bbox) {
      return glyph_failure(i, "empty glyph with an explicit bbox");
    }
  }
  loca_values[out.num_glyphs] = static_cast<uint32_t>(out.glyf.size());

  out.loca.resize(static_cast<size_t>(expected_loca));
  ByteWriter loca(out.loca.data(), out.loca.size());
  for (size_t i = 0; i < loca_values.size(); ++i) {
    if (out.index_format) {
      loca.put_u32(4 * i, loca_values[i]);
    } else {
      if ((loca_values[i] >> 1) > 0xffff) return failure("glyf too large for short loca offsets");
      loca.put_u16(2 * i, static_cast<uint16_t>(loca_values[i] >> 1));
    }
  }
  return out;
}

}  // namespace glyphward::woff2
