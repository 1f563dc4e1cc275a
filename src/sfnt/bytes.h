// Byte buffers and non-owning views over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace glyphward {

using Bytes = std::vector<uint8_t>;

// A read-only window onto bytes owned elsewhere. Cheap to copy; the owner
// must outlive every view taken from it.
class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr ByteView(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  ByteView(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}  // NOLINT: implicit by design

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint8_t* begin() const { return data_; }
  const uint8_t* end() const { return data_ + size_; }
  uint8_t operator[](size_t i) const { return data_[i]; }

  // The bytes [offset, offset + length). The caller has checked the bounds;
  // out-of-range requests are clamped rather than read past the end.
  ByteView subview(uint64_t offset, uint64_t length) const {
    if (offset > size_) return ByteView(data_ + size_, 0);
    const uint64_t room = size_ - offset;
    return ByteView(data_ + offset, static_cast<size_t>(length < room ? length : room));
  }

  std::string_view as_text() const {
    return std::string_view(reinterpret_cast<const char*>(data_), size_);
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

inline ByteView view_of(std::string_view text) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace glyphward
