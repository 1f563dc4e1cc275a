// The parsed form of an SFNT font: its version word and its tables.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "font_error.h"
#include "reader.h"

namespace glyphward {

using Tag = std::array<uint8_t, 4>;

constexpr Tag kC2paTag{{'C', '2', 'P', 'A'}};
constexpr Tag kHeadTag{{'h', 'e', 'a', 'd'}};

// The SFNT header (offset table) and its 16-byte table records.
constexpr uint64_t kSfntHeaderSize = 12;
constexpr uint64_t kTableRecordSize = 16;
// The head table's checkSumAdjustment field, and the least head length
// that holds it.
constexpr uint64_t kHeadAdjustmentOffset = 8;
constexpr uint64_t kHeadMinLength = 12;

inline uint32_t tag_value(const Tag& tag) {
  return (uint32_t{tag[0]} << 24) | (uint32_t{tag[1]} << 16) | (uint32_t{tag[2]} << 8) | uint32_t{tag[3]};
}

// One table: its tag exactly as stored and a view of its bytes. The bytes
// live either in the font buffer the table was parsed from or in the owning
// SfntFont's storage (tables installed with set_table).
struct FontTable {
  Tag tag;
  ByteView data;
};

// A parsed font. Tables keep directory order, duplicates included. The font
// refers into the buffer passed to parse_sfnt, which must stay alive and
// unchanged while the font is used; it is move-only so that views into its
// own storage cannot outlive it by accident.
struct SfntFont {
  uint32_t sfnt_version = 0;
  std::vector<FontTable> tables;
  // Buffers of tables added after parsing. Moving a Bytes keeps its heap
  // storage in place, so views into these stay valid as the list grows.
  std::vector<Bytes> owned;

  SfntFont() = default;
  SfntFont(SfntFont&&) = default;
  SfntFont& operator=(SfntFont&&) = default;
  SfntFont(const SfntFont&) = delete;
  SfntFont& operator=(const SfntFont&) = delete;
};

// One table record as stored: tag, offset and length (the checksum is not
// read).
struct TableRecord {
  Tag tag;
  uint32_t offset;
  uint32_t length;
};

// Reads the number of table records, or fails when the font is shorter than the
// header or than the directory it announces.
inline bool read_table_count(const ByteReader& reader, uint16_t* count) {
  return reader.u16_at(4, count) && reader.has(0, kSfntHeaderSize + kTableRecordSize * *count);
}

// Reads record `index` of the directory; fails only past the end of the font,
// which cannot happen for a directory that read_table_count accepted.
inline bool read_table_record(const ByteReader& reader, uint64_t index, TableRecord* record) {
  const uint64_t position = kSfntHeaderSize + kTableRecordSize * index;
  ByteView tag;
  if (!reader.bytes_at(position, 4, &tag) || !reader.u32_at(position + 8, &record->offset) ||
      !reader.u32_at(position + 12, &record->length)) {
    return false;
  }
  std::memcpy(record->tag.data(), tag.data(), 4);
  return true;
}

// Reads the header and table directory of an SFNT font. Copies no table
// bytes: each FontTable views its range of `font`.
Result<SfntFont> parse_sfnt(ByteView font);

// The first table tagged `tag` in list order, or nullptr.
const FontTable* find_table(const SfntFont& font, const Tag& tag);

}  // namespace glyphward
