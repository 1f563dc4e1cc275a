#include "c2pa_table.h"

#include <string>

#include "reader.h"
#include "utf8.h"

namespace glyphward {
namespace {

constexpr uint64_t kMaxUriLength = 0xFFFF;
constexpr uint64_t kMaxTableLength = 0xFFFFFFFF;

// Reads one optional part: absent when its offset is 0, else it must lie
// inside the table.
bool read_part(const ByteReader& reader, uint32_t offset, uint64_t length, std::optional<ByteView>* part) {
  if (offset == 0) {
    part->reset();
    return true;
  }
  ByteView bytes;
  if (!reader.bytes_at(offset, length, &bytes)) return false;
  *part = bytes;
  return true;
}

}  // namespace

Result<C2paTable> parse_c2pa_table(ByteView table) {
  const ByteReader reader(table);
  if (table.size() < kC2paHeaderSize) {
    return FontError::invalid_c2pa_table("table shorter than 20-byte header");
  }
  C2paTable parsed;
  uint32_t uri_offset = 0, store_offset = 0, store_length = 0;
  uint16_t uri_length = 0;
  reader.u16_at(0, &parsed.major_version);
  reader.u16_at(2, &parsed.minor_version);
  reader.u32_at(4, &uri_offset);
  reader.u16_at(8, &uri_length);
  reader.u32_at(12, &store_offset);
  reader.u32_at(16, &store_length);

  std::optional<ByteView> uri;
  if (!read_part(reader, uri_offset, uri_length, &uri)) {
    return FontError::invalid_c2pa_table("active manifest URI extends past end of table");
  }
  if (uri) {
    if (!is_valid_utf8(*uri)) return FontError::invalid_c2pa_table("active manifest URI is not valid UTF-8");
    parsed.active_manifest_uri = uri->as_text();
  }
  if (!read_part(reader, store_offset, store_length, &parsed.manifest_store)) {
    return FontError::invalid_c2pa_table("manifest store extends past end of table");
  }
  return parsed;
}

uint64_t c2pa_table_length(uint64_t uri_length, uint64_t store_length) {
  return kC2paHeaderSize + uri_length + store_length;
}

std::optional<FontError> check_c2pa_table_size(uint64_t uri_length, uint64_t store_length) {
  if (uri_length > kMaxUriLength) {
    return FontError::invalid_c2pa_table("active manifest URI is " + std::to_string(uri_length) +
                                         " bytes; a C2PA table holds at most 65535");
  }
  if (store_length > kMaxTableLength) {
    return FontError::invalid_c2pa_table("manifest store is " + std::to_string(store_length) +
                                         " bytes; a C2PA table holds at most 4294967295");
  }
  const uint64_t table_length = c2pa_table_length(uri_length, store_length);
  if (table_length > kMaxTableLength) {
    return FontError::invalid_c2pa_table("table would be " + std::to_string(table_length) +
                                         " bytes; an SFNT table holds at most 4294967295");
  }
  return std::nullopt;
}

Result<Bytes> encode_c2pa_table(std::optional<std::string_view> uri, ByteView store_prefix,
                                uint64_t store_length) {
  const uint64_t uri_length = uri ? uri->size() : 0;
  if (std::optional<FontError> refused = check_c2pa_table_size(uri_length, store_length)) return *refused;
  const uint64_t table_length = c2pa_table_length(uri_length, store_length);
  if (store_prefix.size() > store_length) GLYPHWARD_INVARIANT_FAILURE("store prefix longer than the store");

  // Every byte is written once: the header, then the URI and the prefix
  // appended, then the final resize zero-fills the rest of the store.
  Bytes bytes;
  bytes.reserve(static_cast<size_t>(table_length));
  bytes.resize(kC2paHeaderSize);
  ByteWriter writer(bytes.data(), bytes.size());
  writer.put_u16(0, kWrittenMajorVersion);
  writer.put_u16(2, kWrittenMinorVersion);
  writer.put_u32(4, uri_length > 0 ? static_cast<uint32_t>(kC2paHeaderSize) : 0);
  writer.put_u16(8, static_cast<uint16_t>(uri_length));
  writer.put_u16(10, 0);
  writer.put_u32(12, store_length > 0 ? static_cast<uint32_t>(kC2paHeaderSize + uri_length) : 0);
  writer.put_u32(16, static_cast<uint32_t>(store_length));
  if (uri_length > 0) bytes.insert(bytes.end(), uri->begin(), uri->end());
  bytes.insert(bytes.end(), store_prefix.begin(), store_prefix.end());
  bytes.resize(static_cast<size_t>(table_length));
  return bytes;
}

Result<Bytes> serialize_c2pa_table(const C2paTable& table) {
  const ByteView store = table.manifest_store.value_or(ByteView());
  Result<Bytes> bytes = encode_c2pa_table(table.active_manifest_uri, store, store.size());
  if (bytes) {
    ByteWriter writer(bytes->data(), bytes->size());
    writer.put_u16(0, table.major_version);
    writer.put_u16(2, table.minor_version);
  }
  return bytes;
}

Result<C2paTable> decode_first_c2pa_table(const SfntFont& font) {
  const FontTable* table = find_table(font, kC2paTag);
  if (table == nullptr) return FontError::no_c2pa_table();
  return parse_c2pa_table(table->data);
}

Result<C2paTable> read_c2pa_table(ByteView font) {
  Result<SfntFont> parsed = parse_sfnt(font);
  if (!parsed) return parsed.error();
  return decode_first_c2pa_table(*parsed);
}

Result<ByteView> read_manifest_store(ByteView font) {
  Result<C2paTable> table = read_c2pa_table(font);
  if (!table) return table.error();
  if (!table->manifest_store) {
    return FontError::invalid_c2pa_table("C2PA table has no embedded manifest store");
  }
  return *table->manifest_store;
}

Result<std::optional<std::string_view>> read_active_manifest_uri(ByteView font) {
  Result<C2paTable> table = read_c2pa_table(font);
  if (!table) return table.error();
  return table->active_manifest_uri;
}

}  // namespace glyphward
