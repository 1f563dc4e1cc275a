// Writing a table list out as a complete SFNT font.
#pragma once

#include <optional>

#include "bytes.h"
#include "font_error.h"
#include "output_buffer.h"
#include "sfnt_font.h"

namespace glyphward {

// Lays the tables out in tag order with directory, 4-byte zero padding,
// table checksums and the head checkSumAdjustment, into storage obtained once
// from `out`. Returns a view of the written font. Fails, before allocating,
// only when the layout cannot be expressed in SFNT fields: more than 65535
// tables, or a font longer than 0xFFFFFFFF bytes.
Result<ByteView> write_sfnt(const SfntFont& font, OutputBuffer& out);

// The same, into a new vector.
Result<Bytes> write_sfnt(const SfntFont& font);

// Refuses, from sizes alone, a font that would not fit the SFNT fields once
// every table tagged `tag` is replaced by one table of `length` bytes: lets
// an operation refuse before it builds a large table.
std::optional<FontError> check_layout_with_table(const SfntFont& font, const Tag& tag, uint64_t length);

// Removes every table tagged `tag`, keeping the others in order, then appends
// one table with `tag` and `data`, which the font takes ownership of.
void set_table(SfntFont& font, const Tag& tag, Bytes data);

// Removes every table tagged `tag`, keeping the others in order.
void remove_tables(SfntFont& font, const Tag& tag);

}  // namespace glyphward
