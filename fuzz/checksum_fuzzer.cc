// Every checksum kernel the processor can run, on arbitrary bytes at
// arbitrary source and destination alignments, against a word-by-word sum:
// the sum, the cached copy and the streaming copy, each of which must copy
// exactly and write nothing around the copy. Input layout: one byte whose low
// five bits place the destination within a 32-byte vector, one byte whose
// low five bits skip that many bytes of the source, then the source.
#include "fuzz_common.h"
#include "sfnt/checksum_kernels.h"

using namespace fuzz;

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kSlack = 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const size_t to = input.u8() % 32;
  input.take(input.u8() % 32);
  // The source ends where libFuzzer's copy of the input ends, so a read past
  // it is a heap overflow for AddressSanitizer.
  const ByteView source = input.rest();
  const uint32_t expected = naive_checksum(source);

  static const std::vector<const glyphward::ChecksumKernel*> kernels = glyphward::usable_checksum_kernels();
  Bytes buffer(to + source.size() + kSlack);
  uint8_t* destination = buffer.data() + to;
  for (const glyphward::ChecksumKernel* kernel : kernels) {
    FUZZ_CHECK(kernel->sum(source.data(), source.size()) == expected);
    for (auto copy : {kernel->copy_and_sum, kernel->copy_and_sum_streaming}) {
      std::fill(buffer.begin(), buffer.end(), kGuard);
      FUZZ_CHECK(copy(destination, source.data(), source.size()) == expected);
      FUZZ_CHECK(same_bytes(ByteView(destination, source.size()), source));
      for (size_t i = 0; i < to; ++i) FUZZ_CHECK(buffer[i] == kGuard);
      for (size_t i = to + source.size(); i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kGuard);
    }
  }
  return 0;
}
