// The shared last step of every operation that writes a new C2PA table.
#pragma once

#include <optional>
#include <string_view>

#include "bytes.h"
#include "font_error.h"
#include "output_buffer.h"
#include "sfnt_font.h"

namespace glyphward {

// Encodes a version 0.1 C2PA table with `uri` and a store of `store_length`
// bytes (`store_prefix`, then zeros), puts it in place of every C2PA table of
// `font` and writes the font into `out`. Sizes that the table or the font
// cannot express are refused before the table is built.
Result<ByteView> install_c2pa_table(SfntFont& font, std::optional<std::string_view> uri, ByteView store_prefix,
                                    uint64_t store_length, OutputBuffer& out);

}  // namespace glyphward
