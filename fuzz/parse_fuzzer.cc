// parse_sfnt and write_sfnt on arbitrary bytes. A font that parses must also
// pass the directory scan with the same records; writing it must give the
// exact layout the writer promises, which reads back as the same tables and
// is a fixed point of parse-then-write.
#include <string>

#include "fuzz_common.h"

using namespace fuzz;

namespace {

// The message parse_sfnt must give for `font`, or "" when it must succeed;
// for a bad record with a non-ASCII tag only the message's start is fixed.
std::string expected_error(const uint8_t* data, size_t size, bool* ascii_tag) {
  *ascii_tag = true;
  if (size < 12) return "not a supported SFNT (TrueType/OpenType) font";
  switch (be32(data)) {
    case 0x00010000:
    case 0x4F54544F:
    case 0x74727565:
    case 0x74797031:
      break;
    case 0x74746366:
      return "font collections (ttcf) are not supported";
    case 0x774F4646:
    case 0x774F4632:
      return "WOFF/WOFF2 fonts are not supported; decompress to SFNT first";
    default:
      return "not a supported SFNT (TrueType/OpenType) font";
  }
  const uint64_t count = be16(data + 4);
  if (size < 12 + 16 * count) return "invalid font: table directory truncated";
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* record = data + 12 + 16 * i;
    if (uint64_t{be32(record + 8)} + be32(record + 12) > size) {
      std::string tag(reinterpret_cast<const char*>(record), 4);
      for (char c : tag) *ascii_tag &= static_cast<unsigned char>(c) < 0x80;
      return "invalid font: table " + tag + " extends past end of file";
    }
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView font(data, size);
  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(font);
  glyphward::Result<std::vector<glyphward::DirectoryEntry>> scanned = glyphward::scan_table_directory(font);
  bool ascii_tag = true;
  const std::string expected = expected_error(data, size, &ascii_tag);
  FUZZ_CHECK(parsed.ok() == expected.empty());
  if (!parsed) {
    const std::string message = parsed.error().message();
    if (ascii_tag) {
      FUZZ_CHECK(message == expected);
    } else {
      FUZZ_CHECK(message.compare(0, 20, expected, 0, 20) == 0);
      FUZZ_CHECK(glyphward::is_valid_utf8(glyphward::view_of(message)));
    }
    // The scan ignores the version word but checks the same directory.
    if (parsed.error().kind() == glyphward::FontErrorKind::InvalidFont) FUZZ_CHECK(!scanned.ok());
    return 0;
  }
  FUZZ_CHECK(scanned.ok());
  FUZZ_CHECK(scanned->size() == parsed->tables.size());
  for (size_t i = 0; i < parsed->tables.size(); ++i) {
    const glyphward::DirectoryEntry& entry = (*scanned)[i];
    const FontTable& table = parsed->tables[i];
    FUZZ_CHECK(entry.tag == table.tag);
    FUZZ_CHECK(entry.record_position == 12 + 16 * i);
    FUZZ_CHECK(entry.table_length == table.data.size());
    FUZZ_CHECK(table.data.empty() || table.data.data() == data + entry.table_offset);
  }
  if (!small_enough_to_write(*parsed)) return 0;

  glyphward::Result<Bytes> written = write_poisoned(*parsed);
  FUZZ_CHECK(written.ok());
  check_written(*written, *parsed);

  // Parsing the written font and writing it again changes nothing.
  glyphward::Result<SfntFont> again = glyphward::parse_sfnt(*written);
  FUZZ_CHECK(again.ok());
  glyphward::Result<Bytes> rewritten = write_poisoned(*again);
  FUZZ_CHECK(rewritten.ok());
  FUZZ_CHECK(*rewritten == *written);
  return 0;
}
