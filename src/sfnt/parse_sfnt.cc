#include <string>

#include "reader.h"
#include "sfnt_font.h"
#include "utf8.h"

namespace glyphward {
namespace {

constexpr uint32_t kVersionTrueType = 0x00010000;
constexpr uint32_t kVersionOtto = 0x4F54544F;  // "OTTO"
constexpr uint32_t kVersionTrue = 0x74727565;  // "true"
constexpr uint32_t kVersionTyp1 = 0x74797031;  // "typ1"
constexpr uint32_t kVersionTtcf = 0x74746366;  // "ttcf"
constexpr uint32_t kVersionWoff = 0x774F4646;  // "wOFF"
constexpr uint32_t kVersionWoff2 = 0x774F4632;  // "wOF2"

}  // namespace

Result<SfntFont> parse_sfnt(ByteView font) {
  const ByteReader reader(font);
  uint32_t version;
  if (font.size() < kSfntHeaderSize || !reader.u32_at(0, &version)) return FontError::not_sfnt();

  switch (version) {
    case kVersionTrueType:
    case kVersionOtto:
    case kVersionTrue:
    case kVersionTyp1:
      break;
    case kVersionTtcf:
      return FontError::font_collection();
    case kVersionWoff:
    case kVersionWoff2:
      return FontError::woff_font();
    default:
      return FontError::not_sfnt();
  }

  uint16_t num_tables;
  if (!read_table_count(reader, &num_tables)) return FontError::invalid_font("table directory truncated");

  SfntFont parsed;
  parsed.sfnt_version = version;
  parsed.tables.reserve(num_tables);
  for (uint64_t i = 0; i < num_tables; ++i) {
    TableRecord record;
    if (!read_table_record(reader, i, &record)) return FontError::invalid_font("table directory truncated");
    ByteView data;
    if (!reader.bytes_at(record.offset, record.length, &data)) {
      return FontError::invalid_font("table " + decode_utf8_lossy(ByteView(record.tag.data(), 4)) +
                                     " extends past end of file");
    }
    parsed.tables.push_back({record.tag, data});
  }
  return parsed;
}

const FontTable* find_table(const SfntFont& font, const Tag& tag) {
  for (const FontTable& table : font.tables) {
    if (table.tag == tag) return &table;
  }
  return nullptr;
}

}  // namespace glyphward
