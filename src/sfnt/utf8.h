// Strict UTF-8 validation and lossy decoding.
#pragma once

#include <string>

#include "bytes.h"

namespace glyphward {

// True when `bytes` is well-formed UTF-8 as RFC 3629 defines it: no overlong
// forms, no encoded surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(ByteView bytes);

// Decodes `bytes`, replacing each maximal ill-formed subsequence with U+FFFD
// (the Unicode Standard's substitution of maximal subparts).
std::string decode_utf8_lossy(ByteView bytes);

}  // namespace glyphward
