#include <string>

#include "checksum.h"
#include "manifest_operations.h"
#include "reader.h"

namespace glyphward {
namespace {

constexpr uint64_t kHeadAdjustmentOffset = 8;
constexpr uint64_t kHeadMinLength = 12;

// The checksum test on a font that parsed as `parsed`.
bool font_checksum_matches(ByteView font, const SfntFont& parsed) {
  const FontTable* head = find_table(parsed, kHeadTag);
  if (head == nullptr || head->data.size() < kHeadMinLength) return false;
  uint32_t adjustment = 0;
  ByteReader(head->data).u32_at(kHeadAdjustmentOffset, &adjustment);

  // Locate the same table in the raw directory for the bytes to count as zero.
  const ByteReader reader(font);
  uint16_t num_tables = 0;
  reader.u16_at(4, &num_tables);
  uint32_t offset = 0;
  bool found = false;
  for (uint64_t i = 0; i < num_tables && !found; ++i) {
    const uint64_t record = 12 + 16 * i;
    ByteView tag;
    if (!reader.bytes_at(record, 4, &tag) || !reader.u32_at(record + 8, &offset)) return false;
    found = tag[0] == 'h' && tag[1] == 'e' && tag[2] == 'a' && tag[3] == 'd';
  }
  if (!found) return false;
  const uint64_t field = uint64_t{offset} + kHeadAdjustmentOffset;
  if (!reader.has(field, 4)) return false;

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
