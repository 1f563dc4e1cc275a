// Where writing operations put the font they produce.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes.h"

namespace glyphward {

// Storage for one output font, allocated once at its final size. The writer
// fills every byte, so the memory need not be initialised. Lets the Python
// module write straight into a new bytes object.
class OutputBuffer {
 public:
  virtual ~OutputBuffer() = default;
  // Returns `size` writable bytes, valid until the buffer is destroyed.
  // Reports exhaustion by throwing, never by returning null.
  virtual uint8_t* allocate(size_t size) = 0;
};

// An OutputBuffer backed by a std::vector, for tests and native callers.
class VectorOutput : public OutputBuffer {
 public:
  uint8_t* allocate(size_t size) override {
    bytes_.assign(size, 0);
    return bytes_.data();
  }
  Bytes& bytes() { return bytes_; }

 private:
  Bytes bytes_;
};

}  // namespace glyphward
