#include <string>

#include "manifest_operations.h"
#include "install_c2pa_table.h"

namespace glyphward {

Result<ByteView> fill_manifest_store(ByteView reserved_font, ByteView signed_manifest, OutputBuffer& out) {
  Result<SfntFont> parsed = parse_sfnt(reserved_font);
  if (!parsed) return parsed.error();
  Result<C2paTable> table = decode_first_c2pa_table(*parsed);
  if (!table) return table.error();
  if (!table->manifest_store) return FontError::invalid_c2pa_table("reserved font has no manifest store");

  const uint64_t reserved = table->manifest_store->size();
  if (signed_manifest.size() > reserved) {
    return FontError::invalid_c2pa_table("signed manifest is " + std::to_string(signed_manifest.size()) +
                                         " bytes but only " + std::to_string(reserved) + " were reserved");
  }
  // The URI views the caller's font, not the table being replaced.
  return install_c2pa_table(*parsed, table->active_manifest_uri, signed_manifest, reserved, out);
}

}  // namespace glyphward
