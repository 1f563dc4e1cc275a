#include "write_sfnt.h"

#include <algorithm>
#include <numeric>
#include <string>

#include "checksum.h"
#include "reader.h"

namespace glyphward {
namespace {

constexpr uint64_t kMaxTables = 0xFFFF;
constexpr uint64_t kMaxFontLength = 0xFFFFFFFF;

uint64_t padded(uint64_t length) { return (length + 3) & ~uint64_t{3}; }

// total + length rounded up to a multiple of 4, saturating at 2^64 - 1: only
// views of sizes no memory holds come near that, and they must be refused
// rather than wrap around to a small total.
uint64_t add_padded(uint64_t total, uint64_t length) {
  uint64_t sum;
  if (length > ~uint64_t{0} - 3 || __builtin_add_overflow(total, padded(length), &sum)) return ~uint64_t{0};
  return sum;
}

struct Placement {
  const FontTable* table;
  uint64_t offset;
};

struct Layout {
  std::vector<Placement> order;  // output order
  uint64_t total_length = 0;
};

std::optional<FontError> check_table_count(uint64_t count) {
  if (count <= kMaxTables) return std::nullopt;
  return FontError::invalid_font("font has " + std::to_string(count) + " tables; an SFNT font holds at most 65535");
}

std::optional<FontError> check_font_length(uint64_t length) {
  if (length <= kMaxFontLength) return std::nullopt;
  return FontError::invalid_font("font would be " + std::to_string(length) +
                                 " bytes; an SFNT font holds at most 4294967295");
}

Result<Layout> plan_layout(const SfntFont& font) {
  const uint64_t count = font.tables.size();
  if (std::optional<FontError> refused = check_table_count(count)) return *refused;
  Layout layout;
  layout.order.reserve(font.tables.size());
  for (const FontTable& table : font.tables) layout.order.push_back({&table, 0});
  std::stable_sort(layout.order.begin(), layout.order.end(), [](const Placement& a, const Placement& b) {
    return tag_value(a.table->tag) < tag_value(b.table->tag);
  });

  uint64_t offset = kSfntHeaderSize + kTableRecordSize * count;
  for (Placement& placement : layout.order) {
    placement.offset = offset;
    offset = add_padded(offset, placement.table->data.size());
  }
  if (std::optional<FontError> refused = check_font_length(offset)) return *refused;
  layout.total_length = offset;
  return layout;
}

uint16_t floor_log2(uint16_t value) {
  uint16_t log = 0;
  while (value > 1) {
    value = static_cast<uint16_t>(value >> 1);
    ++log;
  }
  return log;
}

uint32_t adjustment_word(ByteView head) {
  uint32_t word = 0;
  ByteReader(head).u32_at(kHeadAdjustmentOffset, &word);
  return word;
}

}  // namespace

Result<ByteView> write_sfnt(const SfntFont& font, OutputBuffer& out) {
  Result<Layout> planned = plan_layout(font);
  if (!planned) return planned.error();
  const Layout& layout = *planned;

  const size_t total = static_cast<size_t>(layout.total_length);
  uint8_t* data = out.allocate(total);
  ByteWriter writer(data, total);

  const uint16_t count = static_cast<uint16_t>(layout.order.size());
  const uint16_t entry_selector = count == 0 ? 0 : floor_log2(count);
  const uint16_t search_range = static_cast<uint16_t>(16u << entry_selector);
  writer.put_u32(0, font.sfnt_version);
  writer.put_u16(4, count);
  writer.put_u16(6, search_range);
  writer.put_u16(8, entry_selector);
  writer.put_u16(10, static_cast<uint16_t>(16u * count - search_range));

  // The whole-font checksum is the sum of the directory's words and of every
  // table's words: tables start at multiples of 4 and are padded with zeros.
  // So it needs no second pass over the output, and each table is summed
  // while it is copied.
  uint32_t tables_sum = 0;
  const Placement* adjusted = nullptr;
  for (size_t i = 0; i < layout.order.size(); ++i) {
    const Placement& placement = layout.order[i];
    const FontTable& table = *placement.table;
    const uint64_t length = table.data.size();
    const uint32_t raw_sum = copy_with_checksum(writer.span(placement.offset, length), table.data);
    uint32_t checksum = raw_sum;
    if (table.tag == kHeadTag) {
      if (length >= kHeadMinLength) checksum = raw_sum - adjustment_word(table.data);
      adjusted = &placement;
    }
    tables_sum += raw_sum;

    const uint64_t record = kSfntHeaderSize + kTableRecordSize * i;
    writer.put_bytes(record, ByteView(table.tag.data(), 4));
    writer.put_u32(record + 4, checksum);
    writer.put_u32(record + 8, static_cast<uint32_t>(placement.offset));
    writer.put_u32(record + 12, static_cast<uint32_t>(length));
    writer.put_zeros(placement.offset + length, padded(length) - length);
  }

  if (adjusted != nullptr && adjusted->table->data.size() >= kHeadMinLength) {
    const uint64_t field = adjusted->offset + kHeadAdjustmentOffset;
    const uint32_t directory_sum = sfnt_checksum(ByteView(data, kSfntHeaderSize + kTableRecordSize * count));
    const uint32_t font_sum = directory_sum + tables_sum - adjustment_word(adjusted->table->data);
    writer.put_u32(field, kChecksumMagic - font_sum);
  }
  return ByteView(data, total);
}

Result<Bytes> write_sfnt(const SfntFont& font) {
  VectorOutput out;
  Result<ByteView> written = write_sfnt(font, out);
  if (!written) return written.error();
  return std::move(out.bytes());
}

std::optional<FontError> check_layout_with_table(const SfntFont& font, const Tag& tag, uint64_t length) {
  uint64_t count = 1;
  uint64_t data_length = add_padded(0, length);
  for (const FontTable& table : font.tables) {
    if (table.tag == tag) continue;
    ++count;
    data_length = add_padded(data_length, table.data.size());
  }
  if (std::optional<FontError> refused = check_table_count(count)) return refused;
  return check_font_length(add_padded(kSfntHeaderSize + kTableRecordSize * count, data_length));
}

void remove_tables(SfntFont& font, const Tag& tag) {
  auto& tables = font.tables;
  tables.erase(std::remove_if(tables.begin(), tables.end(), [&](const FontTable& t) { return t.tag == tag; }),
               tables.end());
}

void set_table(SfntFont& font, const Tag& tag, Bytes data) {
  remove_tables(font, tag);
  font.owned.push_back(std::move(data));
  font.tables.push_back({tag, ByteView(font.owned.back())});
}

}  // namespace glyphward
