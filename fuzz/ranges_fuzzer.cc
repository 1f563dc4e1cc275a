// scan_table_directory and data_hash_ranges on arbitrary bytes, checked
// against a direct reading of the directory.
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView font(data, size);
  glyphward::Result<std::vector<glyphward::DirectoryEntry>> scanned = glyphward::scan_table_directory(font);
  glyphward::Result<std::vector<glyphward::ExclusionRange>> ranges = glyphward::data_hash_ranges(font);
  if (!scanned) {
    FUZZ_CHECK(!ranges.ok() && ranges.error() == scanned.error());
    return 0;
  }
  const uint16_t count = be16(data + 4);
  FUZZ_CHECK(scanned->size() == count);
  const glyphward::DirectoryEntry* c2pa = nullptr;
  const glyphward::DirectoryEntry* head = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = data + 12 + 16 * i;
    const glyphward::DirectoryEntry& entry = (*scanned)[i];
    FUZZ_CHECK(entry.record_position == 12 + 16 * i);
    FUZZ_CHECK(std::memcmp(entry.tag.data(), record, 4) == 0);
    FUZZ_CHECK(entry.table_offset == be32(record + 8) && entry.table_length == be32(record + 12));
    FUZZ_CHECK(entry.table_offset + entry.table_length <= size);
    if (c2pa == nullptr && entry.tag == glyphward::kC2paTag) c2pa = &entry;
    if (head == nullptr && entry.tag == glyphward::kHeadTag) head = &entry;
  }
  if (c2pa == nullptr) {
    FUZZ_CHECK(!ranges.ok() && ranges.error().kind() == glyphward::FontErrorKind::NoC2paTable);
    return 0;
  }
  const char* expected = nullptr;
  uint32_t store_offset = 0, store_length = 0;
  if (c2pa->table_length < 20) {
    expected = "C2PA table shorter than header";
  } else {
    store_offset = be32(data + c2pa->table_offset + 12);
    store_length = be32(data + c2pa->table_offset + 16);
    if (store_offset == 0 || store_length == 0) {
      expected = "no embedded manifest store to bind";
    } else if (uint64_t{store_offset} + store_length > c2pa->table_length) {
      expected = "manifest store extends past C2PA table";
    }
  }
  if (expected != nullptr) {
    FUZZ_CHECK(!ranges.ok() && ranges.error().kind() == glyphward::FontErrorKind::InvalidC2paTable &&
               ranges.error().detail() == expected);
    return 0;
  }
  FUZZ_CHECK(ranges.ok());
  check_ranges_shape(*ranges, size);
  const bool with_head = head != nullptr && head->table_length >= 12;
  FUZZ_CHECK(ranges->size() == (with_head ? 3u : 2u));
  auto has = [&](uint64_t start, uint64_t length) {
    for (const auto& r : *ranges) {
      if (r.start == start && r.length == length) return true;
    }
    return false;
  };
  FUZZ_CHECK(has(c2pa->table_offset + store_offset, store_length));
  FUZZ_CHECK(has(c2pa->record_position + 4, 4));
  if (with_head) FUZZ_CHECK(has(head->table_offset + 8, 4));
  return 0;
}
