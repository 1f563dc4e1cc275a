// The loops behind sfnt_checksum and copy_with_checksum, in one version per
// instruction set, and the choice among them made once per process from what
// the processor offers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The AVX2 kernel exists in x86-64 builds by GCC-compatible compilers, unless
// the build forces the portable kernel (CMake option
// GLYPHWARD_PORTABLE_KERNELS, for testing the path taken on other
// processors).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(GLYPHWARD_PORTABLE_KERNELS)
#define GLYPHWARD_AVX2_KERNEL 1
#else
#define GLYPHWARD_AVX2_KERNEL 0
#endif

namespace glyphward {

// Each function takes a run of bytes that starts on a word boundary of the
// checksum and returns the run's sfnt_checksum; the copying ones also copy
// the run to `destination`, which has room for it and does not overlap it.
struct ChecksumKernel {
  const char* name;
  uint32_t (*sum)(const uint8_t* bytes, size_t length);
  // Leaves the copy in the cache, for outputs that the cache holds.
  uint32_t (*copy_and_sum)(uint8_t* destination, const uint8_t* bytes, size_t length);
  // Writes the copy past the cache, for outputs larger than the cache.
  uint32_t (*copy_and_sum_streaming)(uint8_t* destination, const uint8_t* bytes, size_t length);
};

// Outputs from this size on are copied with copy_and_sum_streaming: larger
// than the share of the last-level cache that a copy can count on, on common
// hardware. Measured with the AVX2 kernel on an Intel Xeon (KVM, 2 cores),
// each copy timed in pairs against a memcpy of the same bytes, the source in
// the cache: the streaming copy took 0.95 to 1.03 times as long as the cached
// one at 16 MB, 0.87 at 24 MiB, 0.77 at 32 MiB and 0.65 at 64 MiB; with both
// buffers evicted first, 0.6 at 11 and 16 MB. Below the threshold the copy
// stays in the cache for whatever reads it next.
constexpr size_t kStreamingCopy = size_t{32} << 20;

// Plain C++, for every processor.
extern const ChecksumKernel kPortableChecksumKernel;

#if GLYPHWARD_AVX2_KERNEL
extern const ChecksumKernel kAvx2ChecksumKernel;
// Whether the processor and the operating system support AVX2.
bool avx2_usable();
#endif

// The kernels of this build that this processor can run, the portable one
// first and the one that sfnt_checksum and copy_with_checksum use last.
std::vector<const ChecksumKernel*> usable_checksum_kernels();

// The kernel in use, chosen on first use.
const ChecksumKernel& selected_checksum_kernel();

}  // namespace glyphward
