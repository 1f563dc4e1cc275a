// The large-buffer paths of the checksum: from 1 MiB on, copy_with_checksum
// copies and sums in chunks of 8 KiB, and sfnt_checksum reads ahead. Lengths
// and alignments around the switch and around chunk boundaries, where a
// chunk's sum could be taken at the wrong word position or a tail be lost.
#include <gtest/gtest.h>

#include <random>

#include "sfnt/checksum.h"
#include "test_support.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::copy_with_checksum;
using glyphward::sfnt_checksum;
using gwtest::naive_checksum;

constexpr size_t kLarge = 1024 * 1024;
constexpr size_t kChunk = 8 * 1024;
constexpr uint8_t kGuard = 0xA5;

const Bytes& pool() {
  static const Bytes bytes = [] {
    std::mt19937 rng(21);
    return gwtest::random_bytes(rng, 2 * kLarge + 64);
  }();
  return bytes;
}

TEST(LargeBufferChecksum, CopyAroundTheSwitchAndChunkBoundaries) {
  for (size_t base : {kLarge, kLarge + kChunk, kLarge + 7 * kChunk, 2 * kLarge}) {
    for (size_t delta : {0, 1, 2, 3, 4, 7}) {
      for (size_t length : {base - delta, base + delta}) {
        for (size_t from : {0, 1, 3}) {
          const ByteView source(pool().data() + from, length);
          Bytes destination(length + 8, kGuard);
          ASSERT_EQ(copy_with_checksum(destination.data() + 4, source), naive_checksum(source))
              << "length " << length << " from " << from;
          ASSERT_TRUE(std::equal(source.begin(), source.end(), destination.begin() + 4)) << "length " << length;
          for (size_t i : {size_t{0}, size_t{3}, length + 4, length + 7}) {
            ASSERT_EQ(destination[i], kGuard) << "byte " << i << " outside the copy, length " << length;
          }
        }
      }
    }
  }
}

// One non-zero byte at each position of the words on either side of a chunk
// boundary, and of the last words of the buffer.
TEST(LargeBufferChecksum, CopySingleBytesNextToChunkBoundaries) {
  const size_t length = kLarge + kChunk + 6;
  for (size_t boundary : {kChunk, 64 * kChunk, kLarge, length - 2}) {
    for (size_t position = boundary - 4; position < boundary + 2; ++position) {
      Bytes source(length, 0);
      source[position] = 0x7F;
      Bytes destination(length);
      ASSERT_EQ(copy_with_checksum(destination.data(), source), naive_checksum(source)) << "position " << position;
      ASSERT_EQ(destination, source) << "position " << position;
    }
  }
}

TEST(LargeBufferChecksum, SumReadingAheadMatchesReference) {
  for (size_t length : {kLarge - 1, kLarge, kLarge + 1, kLarge + 16 * 1024 + 2049, 2 * kLarge + 3}) {
    for (size_t from : {0, 1, 2, 3}) {
      if (from + length > pool().size()) continue;
      const ByteView view(pool().data() + from, length);
      ASSERT_EQ(sfnt_checksum(view), naive_checksum(view)) << "length " << length << " from " << from;
    }
  }
}

}  // namespace
