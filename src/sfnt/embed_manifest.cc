#include "manifest_operations.h"
#include "install_c2pa_table.h"

namespace glyphward {

Result<ByteView> embed_manifest(ByteView font, const ManifestSource& source, OutputBuffer& out) {
  if (!source.active_manifest_uri && !source.manifest_store) {
    return FontError::invalid_c2pa_table("manifest source has neither a URI nor an embedded store");
  }
  Result<SfntFont> parsed = parse_sfnt(font);
  if (!parsed) return parsed.error();

  const ByteView store = source.manifest_store.value_or(ByteView());
  return install_c2pa_table(*parsed, source.active_manifest_uri, store, store.size(), out);
}

}  // namespace glyphward
