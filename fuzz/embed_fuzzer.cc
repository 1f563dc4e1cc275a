// embed_manifest with a store, a URI, both or neither. Input layout: one
// mode byte (low two bits: 0 store, 1 URI, 2 both, 3 neither), a big-endian
// u16 part length, the part's bytes (split in half when both are written),
// then the font. The result must be the writer's layout of the font with its
// C2PA tables replaced by exactly the table the codec writes, must read back
// what was embedded, and must be compliant whenever it has a usable head.
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const uint8_t mode = input.u8() & 3;
  const uint16_t part_length = input.u16();
  const ByteView part = input.take(part_length);
  const ByteView font = input.rest();

  glyphward::ManifestSource source;
  ByteView uri_bytes, store_bytes;
  if (mode == 0) store_bytes = part;
  if (mode == 1) uri_bytes = part;
  if (mode == 2) {
    uri_bytes = part.subview(0, part.size() / 2);
    store_bytes = part.subview(part.size() / 2, part.size());
  }
  if (mode == 0 || mode == 2) source.manifest_store = store_bytes;
  if (mode == 1 || mode == 2) source.active_manifest_uri = uri_bytes.as_text();

  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(font);
  if (parsed && !small_enough_to_write(*parsed)) return 0;

  PoisonedOutput out;
  glyphward::Result<ByteView> written = glyphward::embed_manifest(font, source, out);
  if (mode == 3) {
    FUZZ_CHECK(!written.ok() && written.error().detail() == "manifest source has neither a URI nor an embedded store");
    return 0;
  }
  if (!parsed) {
    FUZZ_CHECK(!written.ok() && written.error() == parsed.error());
    return 0;
  }
  FUZZ_CHECK(written.ok());
  const Bytes table = expected_c2pa(uri_bytes, store_bytes);
  check_written(*written, with_c2pa(*parsed, ByteView(table)));
  FUZZ_CHECK(same_bytes(only_c2pa_table(*written), table));

  glyphward::Result<ByteView> store = glyphward::read_manifest_store(*written);
  glyphward::Result<std::optional<std::string_view>> uri = glyphward::read_active_manifest_uri(*written);
  const bool uri_valid = glyphward::is_valid_utf8(uri_bytes);
  if (!uri_valid) {
    FUZZ_CHECK(!uri.ok() && uri.error().detail() == "active manifest URI is not valid UTF-8");
    return 0;
  }
  FUZZ_CHECK(uri.ok());
  FUZZ_CHECK(uri->has_value() == !uri_bytes.empty());
  if (*uri) FUZZ_CHECK(same_bytes(glyphward::view_of(**uri), uri_bytes));
  FUZZ_CHECK(store.ok() == !store_bytes.empty());
  if (store) FUZZ_CHECK(same_bytes(*store, store_bytes));

  glyphward::Result<SfntFont> reparsed = glyphward::parse_sfnt(*written);
  const FontTable* head = glyphward::find_table(*reparsed, glyphward::kHeadTag);
  glyphward::Result<glyphward::ComplianceReport> report = glyphward::check_compliance(*written);
  FUZZ_CHECK(report.ok());
  if (count_tag(*reparsed, glyphward::kHeadTag) == 1 && head->data.size() >= 12) {
    FUZZ_CHECK(report->checksum_valid);
    FUZZ_CHECK(report->compliant() == !(uri_bytes.empty() && store_bytes.empty()));
  }

  // Embedding again with the same source is a fixed point.
  PoisonedOutput again;
  glyphward::Result<ByteView> rewritten = glyphward::embed_manifest(*written, source, again);
  FUZZ_CHECK(rewritten.ok() && same_bytes(*rewritten, *written));
  return 0;
}
