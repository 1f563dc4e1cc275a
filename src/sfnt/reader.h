// Bounds-checked big-endian access to a byte range.
#pragma once

#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "invariant.h"

namespace glyphward {

// Reads big-endian integers at absolute positions of a ByteView. Every read
// is checked against the view's length and reports failure instead of reading
// past the end; positions are 64-bit so that sums of 32-bit fields never wrap.
class ByteReader {
 public:
  explicit ByteReader(ByteView bytes) : bytes_(bytes) {}

  size_t size() const { return bytes_.size(); }
  bool has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  bool u16_at(uint64_t offset, uint16_t* out) const {
    if (!has(offset, 2)) return false;
    const uint8_t* p = bytes_.data() + offset;
    *out = static_cast<uint16_t>((p[0] << 8) | p[1]);
    return true;
  }

  bool u32_at(uint64_t offset, uint32_t* out) const {
    if (!has(offset, 4)) return false;
    const uint8_t* p = bytes_.data() + offset;
    *out = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
    return true;
  }

  bool bytes_at(uint64_t offset, uint64_t length, ByteView* out) const {
    if (!has(offset, length)) return false;
    *out = bytes_.subview(offset, length);
    return true;
  }

 private:
  ByteView bytes_;
};

// Writes big-endian integers and byte runs into a buffer whose layout was
// computed beforehand. A write outside the buffer is a broken layout
// computation, never a property of the input, and ends the operation.
class ByteWriter {
 public:
  ByteWriter(uint8_t* data, size_t size) : data_(data), size_(size) {}

  void put_u16(uint64_t offset, uint16_t value) {
    uint8_t* p = at(offset, 2);
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
  }

  void put_u32(uint64_t offset, uint32_t value) {
    uint8_t* p = at(offset, 4);
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
  }

  void put_bytes(uint64_t offset, ByteView bytes) {
    if (bytes.empty()) return;
    std::memcpy(at(offset, bytes.size()), bytes.data(), bytes.size());
  }

  void put_zeros(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    std::memset(at(offset, length), 0, static_cast<size_t>(length));
  }

  // The `length` bytes at `offset`, for a caller that fills them itself.
  uint8_t* span(uint64_t offset, uint64_t length) { return at(offset, length); }

 private:
  uint8_t* at(uint64_t offset, uint64_t length) {
    if (offset > size_ || length > size_ - offset) {
      GLYPHWARD_INVARIANT_FAILURE("write outside the computed layout");
    }
    return data_ + offset;
  }

  uint8_t* data_;
  size_t size_;
};

}  // namespace glyphward
