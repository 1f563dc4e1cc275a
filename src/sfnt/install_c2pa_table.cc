#include "install_c2pa_table.h"

#include "c2pa_table.h"
#include "write_sfnt.h"

namespace glyphward {

Result<ByteView> install_c2pa_table(SfntFont& font, std::optional<std::string_view> uri, ByteView store_prefix,
                                    uint64_t store_length, OutputBuffer& out) {
  const uint64_t uri_length = uri ? uri->size() : 0;
  if (std::optional<FontError> refused = check_c2pa_table_size(uri_length, store_length)) return *refused;
  const uint64_t table_length = c2pa_table_length(uri_length, store_length);
  if (std::optional<FontError> refused = check_layout_with_table(font, kC2paTag, table_length)) return *refused;

  Result<Bytes> encoded = encode_c2pa_table(uri, store_prefix, store_length);
  if (!encoded) return encoded.error();
  set_table(font, kC2paTag, std::move(*encoded));
  return write_sfnt(font, out);
}

}  // namespace glyphward
