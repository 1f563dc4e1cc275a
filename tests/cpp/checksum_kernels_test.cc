// Every checksum kernel this processor can run, against the checksum's plain
// definition, one function at a time: all short lengths at every source and
// destination alignment within a vector, then the lengths where a kernel
// changes strategy.
#include "sfnt/checksum_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "sfnt/checksum.h"
#include "test_support.h"

namespace glyphward {

// Names the kernel in GoogleTest's messages instead of its address.
inline void PrintTo(const ChecksumKernel* kernel, std::ostream* os) { *os << kernel->name; }

}  // namespace glyphward

namespace {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::ChecksumKernel;
using gwtest::naive_checksum;

// The widest vector of any kernel, in bytes.
constexpr size_t kAlignments = 32;
constexpr uint8_t kGuard = 0xA5;

using CopyFunction = uint32_t (*)(uint8_t*, const uint8_t*, size_t);

// Copies `source` to `kAlignments + to` bytes into a guarded buffer with
// `copy`; fails unless the sum is the plain checksum, the copy is exact and
// no byte around it changed.
::testing::AssertionResult copies_exactly(CopyFunction copy, ByteView source, size_t to) {
  Bytes buffer(kAlignments + to + source.size() + kAlignments, kGuard);
  uint8_t* destination = buffer.data() + kAlignments + to;
  const uint32_t sum = copy(destination, source.data(), source.size());
  if (sum != naive_checksum(source)) return ::testing::AssertionFailure() << "wrong sum " << sum;
  if (!std::equal(source.begin(), source.end(), destination)) return ::testing::AssertionFailure() << "bad copy";
  const auto guard = [](uint8_t b) { return b == kGuard; };
  if (!std::all_of(buffer.data(), destination, guard) ||
      !std::all_of(destination + source.size(), buffer.data() + buffer.size(), guard)) {
    return ::testing::AssertionFailure() << "wrote outside the copy";
  }
  return ::testing::AssertionSuccess();
}

// The first `length` bytes of `pool`, `from` bytes into a buffer that ends
// with them, so that AddressSanitizer reports any read past their end.
Bytes placed(const Bytes& pool, size_t from, size_t length) {
  Bytes buffer(from + length);
  std::copy(pool.data(), pool.data() + length, buffer.data() + from);
  return buffer;
}

class ChecksumKernelTest : public ::testing::TestWithParam<const ChecksumKernel*> {
 protected:
  const ChecksumKernel& kernel() const { return *GetParam(); }
};

TEST_P(ChecksumKernelTest, EveryShortLengthAtEveryAlignment) {
  std::mt19937 rng(31);
  const Bytes pool = gwtest::random_bytes(rng, 320);
  for (size_t from = 0; from < kAlignments; ++from) {
    for (size_t length = 0; length <= 320; ++length) {
      const Bytes buffer = placed(pool, from, length);
      const ByteView source(buffer.data() + from, length);
      ASSERT_EQ(kernel().sum(source.data(), length), naive_checksum(source)) << "from " << from << " length " << length;
      for (size_t to = 0; to < kAlignments; ++to) {
        ASSERT_TRUE(copies_exactly(kernel().copy_and_sum, source, to)) << from << " " << to << " " << length;
        ASSERT_TRUE(copies_exactly(kernel().copy_and_sum_streaming, source, to)) << from << " " << to << " " << length;
      }
    }
  }
}

// Around the portable kernel's switch to chunked copies and reading ahead
// (1 MiB), a chunk boundary (8 KiB) and the read-ahead distance (16 KiB plus a
// block of 2 KiB): every kernel must agree there too.
TEST_P(ChecksumKernelTest, LengthsWhereAKernelChangesStrategy) {
  constexpr size_t kMiB = size_t{1} << 20;
  std::mt19937 rng(32);
  const Bytes pool = gwtest::random_bytes(rng, kMiB + 16 * 1024 + 2048 + 3);
  for (size_t base : {kMiB, kMiB + 8 * 1024, kMiB + 16 * 1024 + 2048}) {
    for (size_t length : {base - 5, base - 1, base, base + 3}) {
      for (size_t from : {0, 3}) {
        const Bytes buffer = placed(pool, from, length);
        const ByteView source(buffer.data() + from, length);
        ASSERT_EQ(kernel().sum(source.data(), length), naive_checksum(source)) << length;
        ASSERT_TRUE(copies_exactly(kernel().copy_and_sum, source, 5 - from)) << length;
        ASSERT_TRUE(copies_exactly(kernel().copy_and_sum_streaming, source, 30 - from)) << length;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Usable, ChecksumKernelTest, ::testing::ValuesIn(glyphward::usable_checksum_kernels()),
                         [](const ::testing::TestParamInfo<const ChecksumKernel*>& param) {
                           return std::string(param.param->name);
                         });

// The public copy switches to streaming stores at kStreamingCopy bytes.
TEST(CopyWithChecksum, AroundTheStreamingThreshold) {
  std::mt19937 rng(33);
  const Bytes pool = gwtest::random_bytes(rng, glyphward::kStreamingCopy + 35);
  for (size_t length : {glyphward::kStreamingCopy - 1, glyphward::kStreamingCopy + 35}) {
    const Bytes buffer = placed(pool, 1, length);
    const ByteView source(buffer.data() + 1, length);
    for (size_t to : {0, 7}) {
      ASSERT_TRUE(copies_exactly(
          [](uint8_t* d, const uint8_t* s, size_t n) { return glyphward::copy_with_checksum(d, ByteView(s, n)); },
          source, to))
          << length << " " << to;
    }
  }
}

// The build's kernels and the processor's features decide the list, with the
// compiler's own feature test as the independent witness; the last one is in
// use.
TEST(ChecksumKernelChoice, MatchesTheBuildAndTheProcessor) {
  std::vector<std::string> names;
  for (const ChecksumKernel* kernel : glyphward::usable_checksum_kernels()) names.push_back(kernel->name);
  std::vector<std::string> expected = {"portable"};
#if defined(__x86_64__) && !defined(GLYPHWARD_PORTABLE_KERNELS)
  if (__builtin_cpu_supports("avx2")) expected.push_back("avx2");
#endif
  EXPECT_EQ(names, expected);
  EXPECT_EQ(glyphward::usable_checksum_kernels().back(), &glyphward::selected_checksum_kernel());
}

}  // namespace
