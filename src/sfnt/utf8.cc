#include "utf8.h"

namespace glyphward {
namespace {

// Length of the well-formed sequence starting at `pos`, or 0 if ill-formed.
// On failure `*subpart` holds the length of the maximal subpart to replace.
size_t sequence_length(ByteView bytes, size_t pos, size_t* subpart) {
  const uint8_t lead = bytes[pos];
  *subpart = 1;
  if (lead < 0x80) return 1;

  size_t length;
  uint8_t second_lo = 0x80, second_hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    second_lo = 0xA0;
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    length = 3;
  } else if (lead == 0xED) {
    length = 3;
    second_hi = 0x9F;
  } else if (lead == 0xF0) {
    length = 4;
    second_lo = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4;
    second_hi = 0x8F;
  } else {
    return 0;  // 0x80..0xC1 and 0xF5..0xFF never start a sequence
  }

  for (size_t i = 1; i < length; ++i) {
    if (pos + i >= bytes.size()) {
      *subpart = i;
      return 0;
    }
    const uint8_t b = bytes[pos + i];
    const uint8_t lo = i == 1 ? second_lo : 0x80;
    const uint8_t hi = i == 1 ? second_hi : 0xBF;
    if (b < lo || b > hi) {
      *subpart = i;
      return 0;
    }
  }
  return length;
}

}  // namespace

bool is_valid_utf8(ByteView bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes[pos] < 0x80) {
      ++pos;
      continue;
    }
    size_t subpart;
    const size_t length = sequence_length(bytes, pos, &subpart);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string decode_utf8_lossy(ByteView bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t subpart;
    const size_t length = sequence_length(bytes, pos, &subpart);
    if (length == 0) {
      out.append(kReplacement, 3);
      pos += subpart;
    } else {
      out.append(reinterpret_cast<const char*>(bytes.data() + pos), length);
      pos += length;
    }
  }
  return out;
}

}  // namespace glyphward
