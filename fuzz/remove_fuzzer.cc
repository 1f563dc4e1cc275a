// remove_manifest_table on arbitrary bytes: the result is the writer's
// layout of the font without any C2PA table, and removing again changes
// nothing.
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView font(data, size);
  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(font);
  if (parsed && !small_enough_to_write(*parsed)) return 0;

  PoisonedOutput out;
  glyphward::Result<ByteView> written = glyphward::remove_manifest_table(font, out);
  if (!parsed) {
    FUZZ_CHECK(!written.ok() && written.error() == parsed.error());
    return 0;
  }
  FUZZ_CHECK(written.ok());
  check_written(*written, with_c2pa(*parsed, std::nullopt));

  glyphward::Result<glyphward::C2paTable> table = glyphward::read_c2pa_table(*written);
  FUZZ_CHECK(!table.ok() && table.error().kind() == glyphward::FontErrorKind::NoC2paTable);
  glyphward::Result<glyphward::ComplianceReport> report = glyphward::check_compliance(*written);
  FUZZ_CHECK(report.ok() && !report->has_c2pa_table && !report->compliant());

  PoisonedOutput again;
  glyphward::Result<ByteView> rewritten = glyphward::remove_manifest_table(*written, again);
  FUZZ_CHECK(rewritten.ok() && same_bytes(*rewritten, *written));
  return 0;
}
