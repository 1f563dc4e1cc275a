#include "manifest_operations.h"
#include "write_sfnt.h"

namespace glyphward {

Result<ByteView> embed_manifest(ByteView font, const ManifestSource& source, OutputBuffer& out) {
  if (!source.active_manifest_uri && !source.manifest_store) {
    return FontError::invalid_c2pa_table("manifest source has neither a URI nor an embedded store");
  }
  Result<SfntFont> parsed = parse_sfnt(font);
  if (!parsed) return parsed.error();

  C2paTable table;
  table.active_manifest_uri = source.active_manifest_uri;
  table.manifest_store = source.manifest_store;
  Result<Bytes> encoded = serialize_c2pa_table(table);
  if (!encoded) return encoded.error();

  set_table(*parsed, kC2paTag, std::move(*encoded));
  return write_sfnt(*parsed, out);
}

}  // namespace glyphward
