#include <string>

#include "checksum.h"
#include "manifest_operations.h"
#include "reader.h"

namespace glyphward {
namespace {

// The checksum test on a font that parsed as `parsed`.
bool font_checksum_matches(ByteView font, const SfntFont& parsed) {
  const FontTable* head = find_table(parsed, kHeadTag);
  if (head == nullptr || head->data.size() < kHeadMinLength) return false;
  uint32_t adjustment = 0;
  ByteReader(head->data).u32_at(kHeadAdjustmentOffset, &adjustment);

  // The parsed table views the font, so its position there is the offset of
  // the first head record: the four bytes to count as zero.
  const uint64_t field = static_cast<uint64_t>(head->data.data() - font.data()) + kHeadAdjustmentOffset;

  // The sum with the adjustment field read as zero: take its bytes' share
  // back out instead of copying the font.
  uint32_t sum = sfnt_checksum(font);
  for (uint64_t p = field; p < field + 4; ++p) sum -= checksum_contribution(p, font[static_cast<size_t>(p)]);
  return adjustment == static_cast<uint32_t>(kChecksumMagic - sum);
}

}  // namespace

Result<bool> verify_font_checksum(ByteView font) {
  Result<SfntFont> parsed = parse_sfnt(font);
  if (!parsed) return parsed.error();
  return font_checksum_matches(font, *parsed);
}

Result<ComplianceReport> check_compliance(ByteView font) {
  Result<SfntFont> parsed = parse_sfnt(font);
  if (!parsed) return parsed.error();

  uint64_t c2pa_count = 0;
  for (const FontTable& table : parsed->tables) c2pa_count += table.tag == kC2paTag ? 1 : 0;
  if (c2pa_count > 1) {
    return FontError::invalid_c2pa_table("font contains " + std::to_string(c2pa_count) +
                                         " C2PA tables; at most one is allowed");
  }

  ComplianceReport report;
  report.checksum_valid = font_checksum_matches(font, *parsed);
  if (c2pa_count == 0) return report;

  Result<C2paTable> table = decode_first_c2pa_table(*parsed);
  if (!table) return table.error();
  report.has_c2pa_table = true;
  report.has_manifest_store = table->manifest_store.has_value();
  report.has_active_manifest_uri = table->active_manifest_uri.has_value();
  return report;
}

}  // namespace glyphward
