#include "manifest_operations.h"
#include "install_c2pa_table.h"

namespace glyphward {

Result<ByteView> reserve_manifest_placeholder(ByteView font, uint64_t reserve_size,
                                              std::optional<std::string_view> uri, OutputBuffer& out) {
  if (reserve_size == 0) return FontError::invalid_c2pa_table("reserve_size must be non-zero");
  Result<SfntFont> parsed = parse_sfnt(font);
  if (!parsed) return parsed.error();
  if (reserve_size >= (uint64_t{1} << 63)) GLYPHWARD_INVARIANT_FAILURE("capacity overflow");

  // Sizes that the table's fields cannot describe are refused before the
  // zero store is allocated.
  Result<ByteView> written = install_c2pa_table(*parsed, uri, ByteView(), reserve_size, out);
  if (!written) return written.error();

  // Check the written font against the request.
  Result<std::vector<ExclusionRange>> ranges = data_hash_ranges(*written);
  if (!ranges) return ranges.error();
  for (const ExclusionRange& range : *ranges) {
    if (range.length == reserve_size) return written;
  }
  return FontError::invalid_c2pa_table("reserved store exclusion not found");
}

}  // namespace glyphward
