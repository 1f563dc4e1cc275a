// fill_manifest_store on arbitrary fonts. Input layout: a big-endian u16
// manifest length, the manifest, then the font. Checks the order of the
// failures, that the result is the writer's layout with the refilled table
// (URI kept, store = manifest + zeros of the old store's length), that
// filling is a fixed point, and that a second fill of the result changes only
// bytes inside its ranges.
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const ByteView manifest = input.take(input.u16());
  const ByteView font = input.rest();

  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(font);
  if (parsed && !small_enough_to_write(*parsed)) return 0;
  PoisonedOutput out;
  glyphward::Result<ByteView> filled = glyphward::fill_manifest_store(font, manifest, out);
  glyphward::Result<glyphward::C2paTable> table = glyphward::read_c2pa_table(font);
  if (!table) {
    FUZZ_CHECK(!filled.ok() && filled.error() == table.error());
    return 0;
  }
  if (!table->manifest_store) {
    FUZZ_CHECK(!filled.ok() && filled.error().detail() == "reserved font has no manifest store");
    return 0;
  }
  const size_t reserved = table->manifest_store->size();
  if (manifest.size() > reserved) {
    FUZZ_CHECK(!filled.ok() && filled.error().detail() == "signed manifest is " + std::to_string(manifest.size()) +
                                                             " bytes but only " + std::to_string(reserved) +
                                                             " were reserved");
    return 0;
  }
  FUZZ_CHECK(filled.ok());
  FUZZ_CHECK(parsed.ok());
  Bytes store(reserved, 0);
  if (!manifest.empty()) std::memcpy(store.data(), manifest.data(), manifest.size());
  const ByteView uri = glyphward::view_of(table->active_manifest_uri.value_or(std::string_view()));
  const Bytes expected = expected_c2pa(uri, store);
  check_written(*filled, with_c2pa(*parsed, ByteView(expected)));
  const Bytes filled_font(filled->begin(), filled->end());

  glyphward::Result<std::optional<std::string_view>> read_uri = glyphward::read_active_manifest_uri(filled_font);
  FUZZ_CHECK(read_uri.ok() && read_uri->has_value() == !uri.empty());
  if (reserved == 0) {
    // An empty store is written as none.
    FUZZ_CHECK(!glyphward::read_manifest_store(filled_font).ok());
    return 0;
  }
  glyphward::Result<ByteView> read_store = glyphward::read_manifest_store(filled_font);
  FUZZ_CHECK(read_store.ok() && same_bytes(*read_store, store));

  PoisonedOutput again;
  glyphward::Result<ByteView> refilled = glyphward::fill_manifest_store(filled_font, manifest, again);
  FUZZ_CHECK(refilled.ok() && same_bytes(*refilled, filled_font));

  // A different manifest of the same length moves nothing outside the ranges.
  if (count_tag(*parsed, glyphward::kHeadTag) > 1) return 0;
  glyphward::Result<std::vector<glyphward::ExclusionRange>> ranges = glyphward::data_hash_ranges(filled_font);
  FUZZ_CHECK(ranges.ok());
  check_ranges_shape(*ranges, filled_font.size());
  Bytes other(store.rbegin(), store.rend());
  for (uint8_t& b : other) b = static_cast<uint8_t>(b ^ 0x5A);
  PoisonedOutput other_out;
  glyphward::Result<ByteView> other_filled = glyphward::fill_manifest_store(filled_font, other, other_out);
  FUZZ_CHECK(other_filled.ok() && other_filled->size() == filled_font.size());
  for (size_t i = 0; i < filled_font.size(); ++i) {
    if ((*other_filled)[i] != filled_font[i]) FUZZ_CHECK(in_ranges(*ranges, i));
  }
  glyphward::Result<std::vector<glyphward::ExclusionRange>> other_ranges = glyphward::data_hash_ranges(*other_filled);
  FUZZ_CHECK(other_ranges.ok() && *other_ranges == *ranges);
  return 0;
}
