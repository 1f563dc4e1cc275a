// check_compliance and verify_font_checksum on arbitrary bytes, against a
// plain re-implementation of the whole-font checksum test (copy, zero the
// first head record's adjustment, sum word by word). Also checks the fast
// sfnt_checksum against a word-by-word sum at every alignment.
#include "fuzz_common.h"
#include "sfnt/checksum.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView font(data, size);
  for (size_t skip = 0; skip < 4 && skip <= size; ++skip) {
    FUZZ_CHECK(glyphward::sfnt_checksum(ByteView(data + skip, size - skip)) == naive_checksum(data + skip, size - skip));
  }

  glyphward::Result<glyphward::ComplianceReport> report = glyphward::check_compliance(font);
  glyphward::Result<bool> checksum = glyphward::verify_font_checksum(font);
  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(font);
  if (!parsed) {
    FUZZ_CHECK(!report.ok() && report.error() == parsed.error());
    FUZZ_CHECK(!checksum.ok() && checksum.error() == parsed.error());
    return 0;
  }
  FUZZ_CHECK(checksum.ok());
  FUZZ_CHECK(*checksum == reference_checksum_valid(font));

  const size_t c2pa_count = count_tag(*parsed, glyphward::kC2paTag);
  if (c2pa_count > 1) {
    FUZZ_CHECK(!report.ok());
    FUZZ_CHECK(report.error().detail() ==
               "font contains " + std::to_string(c2pa_count) + " C2PA tables; at most one is allowed");
    return 0;
  }
  glyphward::Result<glyphward::C2paTable> table = glyphward::read_c2pa_table(font);
  if (c2pa_count == 1 && !table) {
    FUZZ_CHECK(!report.ok() && report.error() == table.error());
    return 0;
  }
  FUZZ_CHECK(report.ok());
  FUZZ_CHECK(report->checksum_valid == *checksum);
  FUZZ_CHECK(report->has_c2pa_table == (c2pa_count == 1));
  if (c2pa_count == 1) {
    FUZZ_CHECK(report->has_manifest_store == table->manifest_store.has_value());
    FUZZ_CHECK(report->has_active_manifest_uri == table->active_manifest_uri.has_value());
  } else {
    FUZZ_CHECK(!report->has_manifest_store && !report->has_active_manifest_uri);
  }
  return 0;
}
