// reserve_manifest_placeholder with small sizes, then the second pass. Input
// layout: a big-endian u16 reserve size, one URI byte (0xFF: no URI,
// otherwise the URI's length), the URI, then the font. The reserved font must
// be the writer's layout with the placeholder table, report a zero store of
// the requested size among its ranges, reserve to itself again, and fill with
// any manifest that fits changing only bytes inside the ranges.
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const uint16_t reserve_size = input.u16();
  const uint8_t uri_selector = input.u8();
  std::optional<std::string_view> uri;
  ByteView uri_bytes;
  if (uri_selector != 0xFF) {
    uri_bytes = input.take(uri_selector);
    uri = uri_bytes.as_text();
  }
  const ByteView font = input.rest();

  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(font);
  if (parsed && !small_enough_to_write(*parsed)) return 0;
  PoisonedOutput out;
  glyphward::Result<ByteView> reserved = glyphward::reserve_manifest_placeholder(font, reserve_size, uri, out);
  if (reserve_size == 0) {
    FUZZ_CHECK(!reserved.ok() && reserved.error().detail() == "reserve_size must be non-zero");
    return 0;
  }
  if (!parsed) {
    FUZZ_CHECK(!reserved.ok() && reserved.error() == parsed.error());
    return 0;
  }
  FUZZ_CHECK(reserved.ok());
  const Bytes zeros(reserve_size, 0);
  const Bytes table = expected_c2pa(uri_bytes, zeros);
  check_written(*reserved, with_c2pa(*parsed, ByteView(table)));
  const Bytes reserved_font(reserved->begin(), reserved->end());

  glyphward::Result<std::vector<glyphward::ExclusionRange>> ranges = glyphward::data_hash_ranges(reserved_font);
  FUZZ_CHECK(ranges.ok());
  check_ranges_shape(*ranges, reserved_font.size());
  bool found_store = false;
  for (const auto& r : *ranges) {
    if (r.length != reserve_size) continue;
    const ByteView bytes(reserved_font.data() + r.start, r.length);
    found_store |= std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
  }
  FUZZ_CHECK(found_store);

  // Reserving again with the same arguments returns the font unchanged.
  PoisonedOutput again;
  glyphward::Result<ByteView> re_reserved = glyphward::reserve_manifest_placeholder(reserved_font, reserve_size, uri, again);
  FUZZ_CHECK(re_reserved.ok() && same_bytes(*re_reserved, reserved_font));

  // The second pass needs a table that decodes, so a valid URI.
  if (!glyphward::is_valid_utf8(uri_bytes)) return 0;
  PoisonedOutput empty_fill;
  glyphward::Result<ByteView> unchanged = glyphward::fill_manifest_store(reserved_font, ByteView(), empty_fill);
  FUZZ_CHECK(unchanged.ok() && same_bytes(*unchanged, reserved_font));

  const size_t manifest_length = font.size() % (size_t{reserve_size} + 1);
  const ByteView manifest = font.subview(font.size() - manifest_length, manifest_length);
  PoisonedOutput fill_out;
  glyphward::Result<ByteView> filled = glyphward::fill_manifest_store(reserved_font, manifest, fill_out);
  FUZZ_CHECK(filled.ok());
  FUZZ_CHECK(filled->size() == reserved_font.size());
  if (count_tag(*parsed, glyphward::kHeadTag) <= 1) {
    for (size_t i = 0; i < reserved_font.size(); ++i) {
      if ((*filled)[i] != reserved_font[i]) FUZZ_CHECK(in_ranges(*ranges, i));
    }
    glyphward::Result<std::vector<glyphward::ExclusionRange>> filled_ranges = glyphward::data_hash_ranges(*filled);
    FUZZ_CHECK(filled_ranges.ok() && *filled_ranges == *ranges);
    glyphward::Result<glyphward::ComplianceReport> report = glyphward::check_compliance(*filled);
    FUZZ_CHECK(report.ok() && report->has_manifest_store);
  }
  return 0;
}
