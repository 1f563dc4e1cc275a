// The operations on fonts that carry (or are to carry) a C2PA table. Every
// operation takes the font as read-only bytes; those that produce a font
// write it into an OutputBuffer and return a view of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "c2pa_table.h"
#include "font_error.h"
#include "output_buffer.h"
#include "sfnt_font.h"

namespace glyphward {

// What embed_manifest writes; at least one part must be present.
struct ManifestSource {
  std::optional<std::string_view> active_manifest_uri;
  std::optional<ByteView> manifest_store;
};

struct ComplianceReport {
  bool has_c2pa_table = false;
  bool has_manifest_store = false;
  bool has_active_manifest_uri = false;
  bool checksum_valid = false;

  // The answer of is_compliant.
  bool compliant() const {
    return has_c2pa_table && checksum_valid && (has_manifest_store || has_active_manifest_uri);
  }
};

// One byte range of a font file that a data hash must leave out.
struct ExclusionRange {
  uint64_t start;
  uint64_t length;
  bool operator==(const ExclusionRange& o) const { return start == o.start && length == o.length; }
};

// One table record as the directory scan sees it.
struct DirectoryEntry {
  uint64_t record_position;
  uint64_t table_offset;
  uint64_t table_length;
  Tag tag;
};

// Replaces every C2PA table with a fresh one carrying `source`.
Result<ByteView> embed_manifest(ByteView font, const ManifestSource& source, OutputBuffer& out);

// Removes every C2PA table.
Result<ByteView> remove_manifest_table(ByteView font, OutputBuffer& out);

// The findings behind is_compliant.
Result<ComplianceReport> check_compliance(ByteView font);

// Whether the head checkSumAdjustment matches the checksum of the whole font.
Result<bool> verify_font_checksum(ByteView font);

// Reads the table directory straight from the bytes; copies nothing.
Result<std::vector<DirectoryEntry>> scan_table_directory(ByteView font);

// The ranges a c2pa.hash.data assertion must exclude, ascending by start.
Result<std::vector<ExclusionRange>> data_hash_ranges(ByteView font);

// Writes a C2PA table whose store is `reserve_size` zero bytes.
Result<ByteView> reserve_manifest_placeholder(ByteView font, uint64_t reserve_size,
                                              std::optional<std::string_view> uri, OutputBuffer& out);

// Writes `signed_manifest` into the reserved store, zero-filling the rest.
Result<ByteView> fill_manifest_store(ByteView reserved_font, ByteView signed_manifest, OutputBuffer& out);

}  // namespace glyphward
