// The C2PA codec and the three read operations. The input is tried both as a
// whole font and as the bytes of one C2PA table. Reads must agree with each
// other and with the codec, and a decoded table must survive an
// encode/decode round trip.
#include <string>

#include "fuzz_common.h"

using namespace fuzz;

namespace {

// Strict UTF-8 the plain way: decode each sequence and test the code point.
bool reference_utf8(ByteView b) {
  size_t i = 0;
  while (i < b.size()) {
    const uint8_t lead = b[i];
    size_t n;
    uint32_t cp, min;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      n = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      n = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      n = 4, cp = lead & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + n > b.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

void check_codec(ByteView table_bytes) {
  glyphward::Result<glyphward::C2paTable> table = glyphward::parse_c2pa_table(table_bytes);
  if (!table) {
    FUZZ_CHECK(table.error().kind() == glyphward::FontErrorKind::InvalidC2paTable);
    return;
  }
  FUZZ_CHECK(table_bytes.size() >= 20);
  if (table->active_manifest_uri) FUZZ_CHECK(glyphward::is_valid_utf8(glyphward::view_of(*table->active_manifest_uri)));
  // Every part the codec hands out lies inside the table.
  auto inside = [&](const uint8_t* p, size_t n) {
    return n == 0 || (p >= table_bytes.data() && p + n <= table_bytes.data() + table_bytes.size());
  };
  if (table->active_manifest_uri) {
    FUZZ_CHECK(inside(reinterpret_cast<const uint8_t*>(table->active_manifest_uri->data()),
                      table->active_manifest_uri->size()));
  }
  if (table->manifest_store) FUZZ_CHECK(inside(table->manifest_store->data(), table->manifest_store->size()));

  glyphward::Result<Bytes> encoded = glyphward::serialize_c2pa_table(*table);
  FUZZ_CHECK(encoded.ok());
  const std::string_view uri = table->active_manifest_uri.value_or(std::string_view());
  const ByteView store = table->manifest_store.value_or(ByteView());
  FUZZ_CHECK(encoded->size() == 20 + uri.size() + store.size());
  glyphward::Result<glyphward::C2paTable> decoded = glyphward::parse_c2pa_table(*encoded);
  FUZZ_CHECK(decoded.ok());
  FUZZ_CHECK(decoded->major_version == table->major_version);
  FUZZ_CHECK(decoded->minor_version == table->minor_version);
  // Present-but-empty parts come back absent.
  FUZZ_CHECK(decoded->active_manifest_uri.has_value() == !uri.empty());
  if (!uri.empty()) FUZZ_CHECK(*decoded->active_manifest_uri == uri);
  FUZZ_CHECK(decoded->manifest_store.has_value() == !store.empty());
  if (!store.empty()) FUZZ_CHECK(same_bytes(*decoded->manifest_store, store));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView font(data, size);
  FUZZ_CHECK(glyphward::is_valid_utf8(font) == reference_utf8(font));
  const std::string lossy = glyphward::decode_utf8_lossy(font);
  FUZZ_CHECK(reference_utf8(glyphward::view_of(lossy)));
  if (reference_utf8(font)) FUZZ_CHECK(lossy == font.as_text());
  check_codec(font);

  glyphward::Result<glyphward::C2paTable> table = glyphward::read_c2pa_table(font);
  glyphward::Result<ByteView> store = glyphward::read_manifest_store(font);
  glyphward::Result<std::optional<std::string_view>> uri = glyphward::read_active_manifest_uri(font);

  glyphward::Result<SfntFont> parsed = glyphward::parse_sfnt(font);
  if (!parsed) {
    FUZZ_CHECK(!table.ok() && table.error() == parsed.error());
    FUZZ_CHECK(!store.ok() && store.error() == parsed.error());
    FUZZ_CHECK(!uri.ok() && uri.error() == parsed.error());
    return 0;
  }
  const FontTable* first = glyphward::find_table(*parsed, glyphward::kC2paTag);
  if (first == nullptr) {
    FUZZ_CHECK(!table.ok() && table.error().kind() == glyphward::FontErrorKind::NoC2paTable);
    FUZZ_CHECK(!store.ok() && store.error() == table.error());
    FUZZ_CHECK(!uri.ok() && uri.error() == table.error());
    return 0;
  }
  check_codec(first->data);
  if (!table) {
    FUZZ_CHECK(table.error().kind() == glyphward::FontErrorKind::InvalidC2paTable);
    FUZZ_CHECK(!store.ok() && store.error() == table.error());
    FUZZ_CHECK(!uri.ok() && uri.error() == table.error());
    return 0;
  }
  FUZZ_CHECK(uri.ok());
  FUZZ_CHECK(uri->has_value() == table->active_manifest_uri.has_value());
  if (*uri) FUZZ_CHECK(**uri == *table->active_manifest_uri);
  if (table->manifest_store) {
    FUZZ_CHECK(store.ok() && same_bytes(*store, *table->manifest_store));
    // The store read through the codec is the one the ranges point at.
    glyphward::Result<std::vector<glyphward::ExclusionRange>> ranges = glyphward::data_hash_ranges(font);
    if (ranges && !store->empty()) {
      bool found = false;
      for (const auto& r : *ranges) {
        found |= r.length == store->size() && ByteView(data + r.start, r.length).data() == store->data();
      }
      FUZZ_CHECK(found);
    }
  } else {
    FUZZ_CHECK(!store.ok() && store.error().detail() == "C2PA table has no embedded manifest store");
  }
  return 0;
}
