#include "manifest_operations.h"
#include "reader.h"

namespace glyphward {
namespace {

bool add_overflows(uint64_t a, uint64_t b, uint64_t* sum) { return __builtin_add_overflow(a, b, sum); }

}  // namespace

Result<std::vector<DirectoryEntry>> scan_table_directory(ByteView font) {
  if (font.size() < kSfntHeaderSize) return FontError::not_sfnt();
  uint16_t num_tables = 0;
  const ByteReader reader(font);
  if (!read_table_count(reader, &num_tables)) return FontError::invalid_font("table directory truncated");
  std::vector<DirectoryEntry> entries;
  entries.reserve(num_tables);
  for (uint64_t i = 0; i < num_tables; ++i) {
    TableRecord record;
    if (!read_table_record(reader, i, &record)) return FontError::invalid_font("table directory truncated");
    if (!reader.has(record.offset, record.length)) {
      return FontError::invalid_font("table extends past end of file");
    }
    entries.push_back({kSfntHeaderSize + kTableRecordSize * i, record.offset, record.length, record.tag});
  }
  return entries;
}

Result<std::vector<ExclusionRange>> data_hash_ranges(ByteView font) {
  Result<std::vector<DirectoryEntry>> scanned = scan_table_directory(font);
  if (!scanned) return scanned.error();
  const std::vector<DirectoryEntry>& entries = *scanned;

  const DirectoryEntry* c2pa = nullptr;
  const DirectoryEntry* head = nullptr;
  for (const DirectoryEntry& entry : entries) {
    if (c2pa == nullptr && entry.tag == kC2paTag) c2pa = &entry;
    if (head == nullptr && entry.tag == kHeadTag) head = &entry;
  }
  if (c2pa == nullptr) return FontError::no_c2pa_table();
  if (c2pa->table_length < kC2paHeaderSize) return FontError::invalid_c2pa_table("C2PA table shorter than header");

  const ByteReader reader(font);
  uint32_t store_offset = 0, store_length = 0;
  // The scan has checked that the table, at least 20 bytes, lies inside the font.
  reader.u32_at(c2pa->table_offset + 12, &store_offset);
  reader.u32_at(c2pa->table_offset + 16, &store_length);
  if (store_offset == 0 || store_length == 0) {
    return FontError::invalid_c2pa_table("no embedded manifest store to bind");
  }
  uint64_t start, end;
  if (add_overflows(c2pa->table_offset, store_offset, &start)) {
    return FontError::invalid_c2pa_table("store offset overflow");
  }
  if (add_overflows(start, store_length, &end)) return FontError::invalid_c2pa_table("store length overflow");
  if (end > c2pa->table_offset + c2pa->table_length) {
    return FontError::invalid_c2pa_table("manifest store extends past C2PA table");
  }

  std::vector<ExclusionRange> ranges;
  ranges.reserve(3);
  ranges.push_back({start, store_length});
  ranges.push_back({c2pa->record_position + 4, 4});
  if (head != nullptr && head->table_length >= kHeadMinLength) {
    ranges.push_back({head->table_offset + kHeadAdjustmentOffset, 4});
  }
  // Stable insertion sort on start alone; ranges are never merged.
  for (size_t i = 1; i < ranges.size(); ++i) {
    for (size_t j = i; j > 0 && ranges[j - 1].start > ranges[j].start; --j) std::swap(ranges[j - 1], ranges[j]);
  }
  return ranges;
}

}  // namespace glyphward
