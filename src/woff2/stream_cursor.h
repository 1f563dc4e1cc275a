// Sequential big-endian reads from one WOFF2 substream, every read checked
// through the library's ByteReader.
#pragma once

#include <cstdint>

#include "../sfnt/bytes.h"
#include "../sfnt/reader.h"

namespace glyphward::woff2 {

// A position in a byte range that advances as values are read. A read that
// would pass the end fails and leaves the position where it was.
class StreamCursor {
 public:
  StreamCursor() : reader_(ByteView()) {}
  explicit StreamCursor(ByteView bytes) : reader_(bytes) {}

  uint64_t offset() const { return offset_; }
  uint64_t remaining() const { return reader_.size() - offset_; }
  // Whether `length` bytes remain to be read.
  bool has(uint64_t length) const { return reader_.has(offset_, length); }

  bool read_u8(uint8_t* out) {
    ByteView byte;
    if (!reader_.bytes_at(offset_, 1, &byte)) return false;
    *out = byte[0];
    offset_ += 1;
    return true;
  }

  bool read_u16(uint16_t* out) {
    if (!reader_.u16_at(offset_, out)) return false;
    offset_ += 2;
    return true;
  }

  bool read_u32(uint32_t* out) {
    if (!reader_.u32_at(offset_, out)) return false;
    offset_ += 4;
    return true;
  }

  // The next `length` bytes, as a view into the stream.
  bool read_bytes(uint64_t length, ByteView* out) {
    if (!reader_.bytes_at(offset_, length, out)) return false;
    offset_ += length;
    return true;
  }

  bool skip(uint64_t length) {
    if (!reader_.has(offset_, length)) return false;
    offset_ += length;
    return true;
  }

  // The bytes from the position to the end, without advancing.
  ByteView rest() const {
    ByteView out;
    reader_.bytes_at(offset_, remaining(), &out);
    return out;
  }

  // A 255UInt16 (W3C WOFF2, section 4.1): one byte below 253, or a code
  // byte (253: a uint16 follows; 254: 506 + the next byte; 255: 253 + the
  // next byte).
  bool read_255_uint16(uint32_t* out) {
    const uint64_t start = offset_;
    uint8_t code = 0;
    if (!read_u8(&code)) return false;
    if (code == 253) {
      uint16_t word = 0;
      if (read_u16(&word)) {
        *out = word;
        return true;
      }
    } else if (code == 254 || code == 255) {
      uint8_t next = 0;
      if (read_u8(&next)) {
        *out = uint32_t{next} + (code == 254 ? 506u : 253u);
        return true;
      }
    } else {
      *out = code;
      return true;
    }
    offset_ = start;
    return false;
  }

 private:
  ByteReader reader_;
  uint64_t offset_ = 0;
};

}  // namespace glyphward::woff2
