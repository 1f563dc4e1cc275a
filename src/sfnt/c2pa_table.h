// The C2PA table: its content and its byte layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "bytes.h"
#include "font_error.h"
#include "sfnt_font.h"

namespace glyphward {

// Header: major (u16), minor (u16), URI offset (u32), URI length (u16),
// reserved (u16), store offset (u32), store length (u32).
constexpr uint64_t kC2paHeaderSize = 20;
constexpr uint16_t kWrittenMajorVersion = 0;
constexpr uint16_t kWrittenMinorVersion = 1;

// The content of a C2PA table. The URI and the store are views: into the
// table they were parsed from, or into the caller's buffers when encoding.
// Absent and present-but-empty are distinct in memory; the encoded form
// writes an empty part exactly like an absent one.
struct C2paTable {
  uint16_t major_version = kWrittenMajorVersion;
  uint16_t minor_version = kWrittenMinorVersion;
  std::optional<std::string_view> active_manifest_uri;  // valid UTF-8
  std::optional<ByteView> manifest_store;
};

// Decodes one table's bytes. The result views `table`.
Result<C2paTable> parse_c2pa_table(ByteView table);

// Encodes `table`: header, URI, store, nothing else. Fails only when a part
// does not fit its length field (a URI over 65535 bytes, a table over
// 0xFFFFFFFF bytes), before anything is allocated.
Result<Bytes> serialize_c2pa_table(const C2paTable& table);

// The length of a table with a URI of `uri_length` bytes and a store of
// `store_length` bytes, and the refusal of sizes its fields cannot describe:
// a URI over 65535 bytes, a store or a whole table over 0xFFFFFFFF bytes.
uint64_t c2pa_table_length(uint64_t uri_length, uint64_t store_length);
std::optional<FontError> check_c2pa_table_size(uint64_t uri_length, uint64_t store_length);

// Encodes a table of version 0.1 whose store is `store_prefix` followed by
// zeros up to `store_length` bytes (store_length >= store_prefix.size()).
// A store_length of 0 writes no store. Checks the sizes before allocating.
Result<Bytes> encode_c2pa_table(std::optional<std::string_view> uri, ByteView store_prefix,
                                uint64_t store_length);

// Reading: parse the font, take its first C2PA table in directory order and
// decode it. Results view `font`.
Result<C2paTable> read_c2pa_table(ByteView font);
Result<ByteView> read_manifest_store(ByteView font);
Result<std::optional<std::string_view>> read_active_manifest_uri(ByteView font);

// The decoding step of read_c2pa_table, on an already parsed font.
Result<C2paTable> decode_first_c2pa_table(const SfntFont& font);

}  // namespace glyphward
