// The parsed form of an SFNT font: its version word and its tables.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "bytes.h"
#include "font_error.h"

namespace glyphward {

using Tag = std::array<uint8_t, 4>;

constexpr Tag kC2paTag{{'C', '2', 'P', 'A'}};
constexpr Tag kHeadTag{{'h', 'e', 'a', 'd'}};

inline uint32_t tag_value(const Tag& tag) {
  return (uint32_t{tag[0]} << 24) | (uint32_t{tag[1]} << 16) | (uint32_t{tag[2]} << 8) | uint32_t{tag[3]};
}

// One table: its tag exactly as stored and a view of its bytes. The bytes
// live either in the font buffer the table was parsed from or in the owning
// SfntFont's storage (tables installed with set_table).
struct FontTable {
  Tag tag;
  ByteView data;
};

// A parsed font. Tables keep directory order, duplicates included. The font
// refers into the buffer passed to parse_sfnt, which must stay alive and
// unchanged while the font is used; it is move-only so that views into its
// own storage cannot outlive it by accident.
struct SfntFont {
  uint32_t sfnt_version = 0;
  std::vector<FontTable> tables;
  // Buffers of tables added after parsing. Moving a Bytes keeps its heap
  // storage in place, so views into these stay valid as the list grows.
  std::vector<Bytes> owned;

  SfntFont() = default;
  SfntFont(SfntFont&&) = default;
  SfntFont& operator=(SfntFont&&) = default;
  SfntFont(const SfntFont&) = delete;
  SfntFont& operator=(const SfntFont&) = delete;
};

// Reads the header and table directory of an SFNT font. Copies no table
// bytes: each FontTable views its range of `font`.
Result<SfntFont> parse_sfnt(ByteView font);

// The first table tagged `tag` in list order, or nullptr.
const FontTable* find_table(const SfntFont& font, const Tag& tag);

}  // namespace glyphward
