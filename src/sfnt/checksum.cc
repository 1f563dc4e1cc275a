// The portable checksum kernel, and the choice of the kernel that
// sfnt_checksum and copy_with_checksum use.
#include "checksum.h"

#include <cstring>

#include "checksum_kernels.h"

namespace glyphward {
namespace {

// Sums big-endian words without byte-swapping each one: a word's value is
// b0 << 24 | b1 << 16 | b2 << 8 | b3, so the total is the sum of each byte
// lane shifted into place. The bytes are loaded as little-endian u64 and
// split into even and odd bytes, each held in a 16-bit field; 256 additions
// of at most 255 cannot carry out of a field. The inner loop is plain
// integer arithmetic that the compiler vectorises.
constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
constexpr size_t kBlockWords = 256;

// Buffers from this size on are taken to come from main memory rather than
// from the cache: larger than a core's share of L2 on common hardware. The
// two ways of reading below pay off there and cost a little on cached data.
constexpr size_t kLargeBuffer = 1024 * 1024;

// Summing a large buffer asks for the block that lies this far ahead while it
// sums the current one: the hardware prefetcher alone does not run far enough
// ahead (it stops at 4 KiB pages). Measured on an 11 MB font that was not in
// the cache, the sum took 2.5 times as long as on a cached one, and 1.2 times
// with the hint. The hint keeps the lines out of L1.
constexpr size_t kReadAhead = 16 * 1024;
constexpr size_t kCacheLine = 64;

// Copying a large buffer goes in chunks small enough to stay in the L1 cache
// between the copy and the sum, and large enough for memcpy to move them its
// fastest way (glibc on x86 switches to `rep movsb` at 2 to 8 KiB, which
// writes whole cache lines without first reading the destination, as a loop
// of ordinary stores must). A multiple of 4, so that every chunk starts on a
// word boundary. Smaller buffers are copied by the summing loop itself, which
// then costs no more than the sum alone.
constexpr size_t kCopyChunk = 8 * 1024;

inline void prefetch_block(const uint8_t* p) {
#if defined(__GNUC__)
  for (size_t offset = 0; offset < 8 * kBlockWords; offset += kCacheLine) __builtin_prefetch(p + offset, 0, 1);
#else
  (void)p;
#endif
}

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// Stores what load_le64 loaded, as the bytes it came from.
inline void store_le64(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  std::memcpy(p, &v, 8);
}

inline uint64_t field(uint64_t packed, int index) { return (packed >> (16 * index)) & 0xFFFF; }

// The checksum of [p, p + remaining), also copying those bytes to
// `destination` when kCopy is set.
template <bool kCopy>
uint32_t sum_words(const uint8_t* p, size_t remaining, uint8_t* destination) {
  const bool read_ahead = !kCopy && remaining >= kLargeBuffer;
  // Lane totals for byte positions 0..3 within a big-endian word.
  uint64_t lane[4] = {0, 0, 0, 0};

  while (remaining >= 8) {
    size_t words = remaining / 8;
    if (words > kBlockWords) words = kBlockWords;
    if (read_ahead && remaining >= kReadAhead + 8 * kBlockWords) prefetch_block(p + kReadAhead);
    uint64_t even = 0, odd = 0;
    for (size_t i = 0; i < words; ++i) {
      const uint64_t q = load_le64(p + 8 * i);
      if (kCopy) store_le64(destination + 8 * i, q);
      even += q & kEvenBytes;
      odd += (q >> 8) & kEvenBytes;
    }
    // Fields of `even` hold bytes 0, 2, 4, 6 of each 8-byte group, fields of
    // `odd` bytes 1, 3, 5, 7; bytes 4..7 form the second word of the group.
    lane[0] += field(even, 0) + field(even, 2);
    lane[2] += field(even, 1) + field(even, 3);
    lane[1] += field(odd, 0) + field(odd, 2);
    lane[3] += field(odd, 1) + field(odd, 3);
    p += 8 * words;
    if (kCopy) destination += 8 * words;
    remaining -= 8 * words;
  }
  for (size_t i = 0; i < remaining; ++i) {
    if (kCopy) destination[i] = p[i];
    lane[i % 4] += p[i];
  }

  const uint64_t total = (lane[0] << 24) + (lane[1] << 16) + (lane[2] << 8) + lane[3];
  return static_cast<uint32_t>(total);
}

uint32_t portable_sum(const uint8_t* bytes, size_t length) { return sum_words<false>(bytes, length, nullptr); }

uint32_t portable_copy_and_sum(uint8_t* destination, const uint8_t* bytes, size_t length) {
  if (length < kLargeBuffer) return sum_words<true>(bytes, length, destination);
  // Each chunk is summed right after memcpy has read it, from the L1 cache,
  // so the source is read from memory once. Chunk sums add up to the whole
  // sum because every chunk starts on a word boundary.
  uint32_t sum = 0;
  for (size_t offset = 0; offset < length; offset += kCopyChunk) {
    const size_t chunk = length - offset < kCopyChunk ? length - offset : kCopyChunk;
    std::memcpy(destination + offset, bytes + offset, chunk);
    sum += portable_sum(bytes + offset, chunk);
  }
  return sum;
}

const ChecksumKernel* choose_kernel() {
#if GLYPHWARD_AVX2_KERNEL
  if (avx2_usable()) return &kAvx2ChecksumKernel;
#endif
  return &kPortableChecksumKernel;
}

}  // namespace

// Plain stores only: without a way to tell the cache's size, the portable
// copy leaves the choice of stores to memcpy.
const ChecksumKernel kPortableChecksumKernel = {"portable", portable_sum, portable_copy_and_sum,
                                                portable_copy_and_sum};

std::vector<const ChecksumKernel*> usable_checksum_kernels() {
  std::vector<const ChecksumKernel*> kernels = {&kPortableChecksumKernel};
#if GLYPHWARD_AVX2_KERNEL
  if (avx2_usable()) kernels.push_back(&kAvx2ChecksumKernel);
#endif
  return kernels;
}

const ChecksumKernel& selected_checksum_kernel() {
  static const ChecksumKernel* const selected = choose_kernel();
  return *selected;
}

uint32_t sfnt_checksum(ByteView bytes) { return selected_checksum_kernel().sum(bytes.data(), bytes.size()); }

uint32_t copy_with_checksum(uint8_t* destination, ByteView bytes) {
  const ChecksumKernel& kernel = selected_checksum_kernel();
  if (bytes.size() >= kStreamingCopy) return kernel.copy_and_sum_streaming(destination, bytes.data(), bytes.size());
  return kernel.copy_and_sum(destination, bytes.data(), bytes.size());
}

}  // namespace glyphward
