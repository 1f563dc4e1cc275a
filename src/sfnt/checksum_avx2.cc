// The AVX2 checksum kernel, 32 bytes per step.
//
// A big-endian word b0 b1 b2 b3 is worth b0 << 24 | b1 << 16 | b2 << 8 | b3.
// One byte shuffle per 32 bytes reorders every group of four bytes so that,
// read as a little-endian 32-bit lane, each byte sits at the significance its
// position in its word gives it; the lanes are then added modulo 2^32, as the
// checksum is. Which four bytes form a group does not matter, only where each
// byte lands, so data whose first byte is not at the start of a word needs no
// more than another shuffle pattern.
//
// Measured on an Intel Xeon (KVM, 2 cores, AVX-512), timed in pairs against a
// plain memcpy of the same 11 MB: one pass that loads each block once, then
// stores and sums it costs 1.0 times the memcpy, against 1.36 for memcpy in
// 8 KiB chunks each summed 16 bytes per step afterwards; the same pass with
// 64-byte AVX-512 vectors costs 1.1 to 1.13 times the memcpy when the
// addresses are not multiples of 64, as they seldom are, so this build has no
// AVX-512 kernel.
#include "checksum_kernels.h"

#if GLYPHWARD_AVX2_KERNEL

#include <cpuid.h>
#include <immintrin.h>

#include <cstdint>

#include "checksum.h"

// Only the functions that use AVX2 are compiled for it, by this attribute,
// rather than the whole file with -mavx2: inline functions of shared headers
// compiled here for AVX2 could become the copy the linker keeps for the whole
// library, and then run on a processor without it.
#define GLYPHWARD_TARGET_AVX2 __attribute__((target("avx2")))

namespace glyphward {
namespace {

// kByteOrder[phase] gathers, for data whose first byte is at position
// `phase` of its word, each group of four bytes of a 16-byte lane into one
// 32-bit lane: the byte at word position 0 in the most significant place,
// the byte at position 3 in the least.
alignas(16) constexpr uint8_t kByteOrder[4][16] = {
    {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12},
    {2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15},
    {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14},
    {0, 3, 2, 1, 4, 7, 6, 5, 8, 11, 10, 9, 12, 15, 14, 13},
};

constexpr size_t kVector = 32;

enum class Stores { kNone, kCached, kStreaming };

GLYPHWARD_TARGET_AVX2 inline __m256i load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Stores `v` at destination + offset; the sum alone has no destination.
template <Stores kStores>
GLYPHWARD_TARGET_AVX2 inline void store(uint8_t* destination, size_t offset, __m256i v) {
  if constexpr (kStores == Stores::kCached) _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + offset), v);
  if constexpr (kStores == Stores::kStreaming) _mm256_stream_si256(reinterpret_cast<__m256i*>(destination + offset), v);
}

GLYPHWARD_TARGET_AVX2 inline uint32_t lane_total(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
}

// The checksum share of `vectors` blocks of 32 bytes from `p`, whose first
// byte is at position `phase` of its word; each block is also stored to
// `destination` as kStores says, right after it is loaded. Four sums in turn
// keep four additions in flight.
template <Stores kStores>
GLYPHWARD_TARGET_AVX2 uint32_t sum_vectors(uint8_t* destination, const uint8_t* p, size_t vectors,
                                           unsigned phase) {
  const __m256i order =
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kByteOrder[phase])));
  __m256i sum0 = _mm256_setzero_si256(), sum1 = sum0, sum2 = sum0, sum3 = sum0;
  size_t i = 0;
  for (; vectors - i >= 4; i += 4) {
    const size_t at = kVector * i;
    const __m256i v0 = load(p + at), v1 = load(p + at + 32), v2 = load(p + at + 64), v3 = load(p + at + 96);
    store<kStores>(destination, at, v0);
    store<kStores>(destination, at + 32, v1);
    store<kStores>(destination, at + 64, v2);
    store<kStores>(destination, at + 96, v3);
    sum0 = _mm256_add_epi32(sum0, _mm256_shuffle_epi8(v0, order));
    sum1 = _mm256_add_epi32(sum1, _mm256_shuffle_epi8(v1, order));
    sum2 = _mm256_add_epi32(sum2, _mm256_shuffle_epi8(v2, order));
    sum3 = _mm256_add_epi32(sum3, _mm256_shuffle_epi8(v3, order));
  }
  for (; i < vectors; ++i) {
    const __m256i v = load(p + kVector * i);
    store<kStores>(destination, kVector * i, v);
    sum0 = _mm256_add_epi32(sum0, _mm256_shuffle_epi8(v, order));
  }
  return lane_total(_mm256_add_epi32(_mm256_add_epi32(sum0, sum1), _mm256_add_epi32(sum2, sum3)));
}

// Copies bytes [from, to) of a run one at a time, returning their share of
// the run's checksum.
uint32_t copy_bytes(uint8_t* destination, const uint8_t* p, size_t from, size_t to) {
  uint32_t sum = 0;
  for (size_t i = from; i < to; ++i) {
    destination[i] = p[i];
    sum += checksum_contribution(i, p[i]);
  }
  return sum;
}

// The last length % 32 bytes start on a word boundary and go to the portable
// kernel. No read-ahead hint, unlike the portable sum: on an 11 MB buffer
// evicted from the cache, this loop took 0.42 times a memcpy of it without
// one, as the portable sum does with its hint.
GLYPHWARD_TARGET_AVX2 uint32_t avx2_sum(const uint8_t* bytes, size_t length) {
  const size_t vectors = length / kVector;
  const size_t done = kVector * vectors;
  return sum_vectors<Stores::kNone>(nullptr, bytes, vectors, 0) +
         kPortableChecksumKernel.sum(bytes + done, length - done);
}

GLYPHWARD_TARGET_AVX2 uint32_t avx2_copy_and_sum(uint8_t* destination, const uint8_t* bytes, size_t length) {
  const size_t vectors = length / kVector;
  const size_t done = kVector * vectors;
  return sum_vectors<Stores::kCached>(destination, bytes, vectors, 0) +
         kPortableChecksumKernel.copy_and_sum(destination + done, bytes + done, length - done);
}

// Streaming stores write whole cache lines to memory without first reading
// them into the cache, and need 32-byte aligned addresses: the bytes before
// the first such address of the destination, and the last ones, are copied
// one at a time, and the blocks between them start at word position
// head % 4. The fence orders the streaming stores before whatever the caller
// writes next.
GLYPHWARD_TARGET_AVX2 uint32_t avx2_copy_and_sum_streaming(uint8_t* destination, const uint8_t* bytes,
                                                           size_t length) {
  size_t head = (kVector - reinterpret_cast<uintptr_t>(destination) % kVector) % kVector;
  if (head > length) head = length;
  const size_t vectors = (length - head) / kVector;
  const size_t done = head + kVector * vectors;
  uint32_t sum = copy_bytes(destination, bytes, 0, head);
  sum += sum_vectors<Stores::kStreaming>(destination + head, bytes + head, vectors, head % 4);
  _mm_sfence();
  return sum + copy_bytes(destination, bytes, done, length);
}

}  // namespace

const ChecksumKernel kAvx2ChecksumKernel = {"avx2", avx2_sum, avx2_copy_and_sum, avx2_copy_and_sum_streaming};

// The processor reports AVX2, and the operating system saves the YMM
// registers across context switches (OSXSAVE set, XCR0 bits 1 and 2). Read
// with cpuid directly: __builtin_cpu_supports relies on the compiler's
// runtime library filling in a CPU model at load time, and the one that Zig
// 0.17.1 links into the release build leaves it empty, so the check would say
// no on every processor.
bool avx2_usable() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  uint32_t xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x6) != 0x6) return false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx & bit_AVX2) != 0;
}

}  // namespace glyphward

#endif  // GLYPHWARD_AVX2_KERNEL
