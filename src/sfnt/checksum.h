// The SFNT checksum.
#pragma once

#include <cstdint>

#include "bytes.h"

namespace glyphward {

// The sum modulo 2^32 of `bytes` read as big-endian u32 words, the last word
// completed with zero bytes. The checksum of nothing is 0.
uint32_t sfnt_checksum(ByteView bytes);

// Copies `bytes` to `destination`, which has room for them and does not
// overlap them, and returns their sfnt_checksum, in a single pass.
uint32_t copy_with_checksum(uint8_t* destination, ByteView bytes);

// What byte `value` at absolute position `position` adds to a checksum over
// a buffer that starts at a multiple of 4.
inline uint32_t checksum_contribution(uint64_t position, uint8_t value) {
  return uint32_t{value} << (8 * (3 - (position % 4)));
}

// Added to a complete font's checksum by its head checkSumAdjustment.
constexpr uint32_t kChecksumMagic = 0xB1B0AFBA;

}  // namespace glyphward
