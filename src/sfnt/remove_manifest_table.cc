#include "manifest_operations.h"
#include "write_sfnt.h"

namespace glyphward {

Result<ByteView> remove_manifest_table(ByteView font, OutputBuffer& out) {
  Result<SfntFont> parsed = parse_sfnt(font);
  if (!parsed) return parsed.error();
  remove_tables(*parsed, kC2paTag);
  return write_sfnt(*parsed, out);
}

}  // namespace glyphward
