#include "sfnt/checksum.h"

#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::checksum_contribution;
using glyphward::copy_with_checksum;
using glyphward::sfnt_checksum;
using gwtest::naive_checksum;

TEST(Checksum, KnownValues) {
  EXPECT_EQ(sfnt_checksum(ByteView()), 0u);
  EXPECT_EQ(sfnt_checksum(gwtest::bytes_of({0x01, 0x02, 0x03})), 0x01020300u);
  EXPECT_EQ(sfnt_checksum(gwtest::bytes_of({0x01, 0x02, 0x03, 0x04, 0x05})), 0x06020304u);
  // Two words whose sum wraps.
  EXPECT_EQ(sfnt_checksum(gwtest::bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x02})), 1u);
}

// Every length up to 300 at every start alignment within a 64-bit word, so
// each split between the 8-byte loop and the byte tail is taken.
TEST(Checksum, MatchesBytewiseReferenceForShortBuffersAtEveryAlignment) {
  std::mt19937 rng(1);
  const Bytes pool = gwtest::random_bytes(rng, 300 + 8);
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length = 0; length <= 300; ++length) {
      const ByteView view(pool.data() + start, length);
      ASSERT_EQ(sfnt_checksum(view), naive_checksum(view)) << "start " << start << " length " << length;
    }
  }
}

// The vectorised loop works in blocks of 256 eight-byte groups (2048 bytes):
// lengths just around one or more blocks, and some odd sizes.
TEST(Checksum, MatchesReferenceAroundBlockBoundaries) {
  std::mt19937 rng(2);
  const Bytes pool = gwtest::random_bytes(rng, 5 * 2048 + 64);
  for (size_t blocks = 1; blocks <= 4; ++blocks) {
    for (size_t delta = 0; delta <= 24; ++delta) {
      for (size_t length : {blocks * 2048 - delta, blocks * 2048 + delta}) {
        for (size_t start : {0, 1, 3, 5}) {
          const ByteView view(pool.data() + start, length);
          ASSERT_EQ(sfnt_checksum(view), naive_checksum(view)) << "start " << start << " length " << length;
        }
      }
    }
  }
}

TEST(Checksum, MatchesReferenceOnManyRandomBuffers) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    const size_t length = rng() % 20000;
    const size_t start = rng() % 8;
    const Bytes buffer = gwtest::random_bytes(rng, length + start);
    const ByteView view(buffer.data() + start, length);
    ASSERT_EQ(sfnt_checksum(view), naive_checksum(view)) << "round " << round;
  }
}

// All 0xFF bytes put the largest possible value in every lane; a lane
// accumulator that overflows within a block would show up here.
TEST(Checksum, AllOnesBuffersDoNotOverflowLanes) {
  const Bytes ones(3 * 1024 * 1024 + 7, 0xFF);
  for (size_t length : {size_t{2047}, size_t{2048}, size_t{2049}, size_t{2056}, size_t{4096}, size_t{65536 + 3},
                        size_t{1024 * 1024}, ones.size()}) {
    for (size_t start : {0, 1, 2, 7}) {
      if (start + length > ones.size()) continue;
      const ByteView view(ones.data() + start, length);
      // n bytes of 0xFF: each full word is 0xFFFFFFFF (= -1), a tail of
      // k bytes adds the top k bytes.
      const uint64_t words = length / 4;
      const uint32_t tail = length % 4 == 0 ? 0 : static_cast<uint32_t>(0xFFFFFFFFu << (8 * (4 - length % 4)));
      const uint32_t expected = static_cast<uint32_t>(0 - words) + tail;
      ASSERT_EQ(sfnt_checksum(view), expected) << "start " << start << " length " << length;
      ASSERT_EQ(naive_checksum(view), expected);
    }
  }
}

// One byte in a sea of zeros lands in the lane its position says, wherever
// it sits relative to the 8-byte groups and the blocks.
TEST(Checksum, SingleByteLandsInItsLane) {
  Bytes buffer(4200, 0);
  for (size_t pos : {0, 1, 2, 3, 4, 5, 6, 7, 2047, 2048, 2049, 4195, 4199}) {
    buffer[pos] = 0x9C;
    EXPECT_EQ(sfnt_checksum(buffer), uint32_t{0x9C} << (8 * (3 - pos % 4))) << pos;
    buffer[pos] = 0;
  }
}

TEST(ChecksumContribution, ShiftsByPositionWithinWord) {
  EXPECT_EQ(checksum_contribution(0, 0xAB), 0xAB000000u);
  EXPECT_EQ(checksum_contribution(1, 0xAB), 0x00AB0000u);
  EXPECT_EQ(checksum_contribution(2, 0xAB), 0x0000AB00u);
  EXPECT_EQ(checksum_contribution(3, 0xAB), 0x000000ABu);
  EXPECT_EQ(checksum_contribution(5, 0xFF), 0x00FF0000u);
  // Positions are 64-bit; only their remainder modulo 4 counts.
  EXPECT_EQ(checksum_contribution((uint64_t{1} << 32) + 2, 0x01), 0x00000100u);
  EXPECT_EQ(checksum_contribution(~uint64_t{0}, 0x7F), 0x0000007Fu);
}

// Summing every byte's contribution gives the checksum, and taking some
// bytes' contributions back out equals the checksum with those bytes zeroed.
TEST(ChecksumContribution, AddsUpToTheChecksum) {
  std::mt19937 rng(4);
  for (int round = 0; round < 50; ++round) {
    Bytes buffer = gwtest::random_bytes(rng, rng() % 200);
    uint32_t sum = 0;
    for (size_t i = 0; i < buffer.size(); ++i) sum += checksum_contribution(i, buffer[i]);
    ASSERT_EQ(sum, sfnt_checksum(buffer));
    if (buffer.size() < 4) continue;
    const size_t at = rng() % (buffer.size() - 3);
    uint32_t without = sfnt_checksum(buffer);
    for (size_t p = at; p < at + 4; ++p) without -= checksum_contribution(p, buffer[p]);
    for (size_t p = at; p < at + 4; ++p) buffer[p] = 0;
    ASSERT_EQ(without, sfnt_checksum(buffer));
  }
}

// Copying while summing: the copy is exact, stays within its length, and the
// sum is the checksum, at every source and destination alignment and around
// the block boundaries.
TEST(CopyWithChecksum, CopiesExactlyAndSums) {
  std::mt19937 rng(8);
  const Bytes source = gwtest::random_bytes(rng, 3 * 2048 + 64);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 70; ++n) lengths.push_back(n);
  for (size_t n : {2047, 2048, 2049, 4095, 4096, 4097, 6143}) lengths.push_back(n);
  for (size_t length : lengths) {
    for (size_t from : {0, 1, 6}) {
      for (size_t to : {0, 3, 4}) {
        Bytes destination(length + 16, 0xA5);
        const ByteView view(source.data() + from, length);
        const uint32_t sum = copy_with_checksum(destination.data() + to, view);
        ASSERT_EQ(sum, naive_checksum(view)) << length << " " << from << " " << to;
        for (size_t i = 0; i < destination.size(); ++i) {
          const bool copied = i >= to && i < to + length;
          ASSERT_EQ(destination[i], copied ? source[from + i - to] : 0xA5) << "byte " << i << " of " << length;
        }
      }
    }
  }
  const Bytes ones(5000, 0xFF);
  Bytes destination(5000);
  EXPECT_EQ(copy_with_checksum(destination.data(), ones), naive_checksum(ones));
  EXPECT_EQ(destination, ones);
}

}  // namespace
