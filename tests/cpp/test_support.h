// Helpers shared by the C++ unit tests: byte literals, big-endian reads,
// an independent checksum, table lists, hand-made fonts and output buffers
// that record what the library asks of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sfnt/bytes.h"
#include "sfnt/font_error.h"
#include "sfnt/output_buffer.h"
#include "sfnt/sfnt_font.h"

namespace glyphward {

// Lets GoogleTest show an error as its message.
inline void PrintTo(const FontError& error, std::ostream* os) { *os << "FontError(" << error.message() << ")"; }

}  // namespace glyphward

namespace gwtest {

using glyphward::ByteView;
using glyphward::Bytes;
using glyphward::SfntFont;
using glyphward::Tag;

inline Bytes bytes_of(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Tag tag_of(std::string_view four) {
  if (four.size() != 4) throw std::logic_error("a tag has four bytes");
  return Tag{{static_cast<uint8_t>(four[0]), static_cast<uint8_t>(four[1]), static_cast<uint8_t>(four[2]),
              static_cast<uint8_t>(four[3])}};
}

inline uint16_t be16(ByteView bytes, uint64_t pos) {
  if (pos + 2 > bytes.size()) throw std::out_of_range("be16");
  return static_cast<uint16_t>((bytes[pos] << 8) | bytes[pos + 1]);
}

inline uint32_t be32(ByteView bytes, uint64_t pos) {
  if (pos + 4 > bytes.size()) throw std::out_of_range("be32");
  return (uint32_t{bytes[pos]} << 24) | (uint32_t{bytes[pos + 1]} << 16) | (uint32_t{bytes[pos + 2]} << 8) |
         uint32_t{bytes[pos + 3]};
}

inline void put16(Bytes& bytes, size_t pos, uint16_t value) {
  bytes.at(pos) = static_cast<uint8_t>(value >> 8);
  bytes.at(pos + 1) = static_cast<uint8_t>(value);
}

inline void put32(Bytes& bytes, size_t pos, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(pos + i) = static_cast<uint8_t>(value >> (24 - 8 * i));
}

inline Bytes slice(ByteView bytes, uint64_t pos, uint64_t length) {
  if (pos + length > bytes.size()) throw std::out_of_range("slice");
  return Bytes(bytes.begin() + pos, bytes.begin() + pos + length);
}

// The SFNT checksum one byte at a time, as the format describes it.
inline uint32_t naive_checksum(ByteView bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) sum += uint32_t{bytes[i]} << (8 * (3 - i % 4));
  return sum;
}

inline Bytes random_bytes(std::mt19937& rng, size_t length) {
  Bytes out(length);
  for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// A table list whose table bytes live as long as the list. Unlike set_table,
// add() keeps tables with a tag already present.
struct TableList {
  std::deque<Bytes> storage;
  SfntFont font;

  explicit TableList(uint32_t version = 0x00010000) { font.sfnt_version = version; }
  TableList& add(std::string_view tag, Bytes data) { return add(tag_of(tag), std::move(data)); }
  TableList& add(const Tag& tag, Bytes data) {
    storage.push_back(std::move(data));
    font.tables.push_back({tag, ByteView(storage.back())});
    return *this;
  }
};

// A head table of `length` bytes with recognisable contents; bytes 8..11
// (checkSumAdjustment) hold `adjustment` when they exist.
inline Bytes head_table(size_t length = 54, uint32_t adjustment = 0xDEADBEEF) {
  Bytes head(length);
  for (size_t i = 0; i < length; ++i) head[i] = static_cast<uint8_t>(0x30 + 7 * i);
  if (length >= 12) put32(head, 8, adjustment);
  return head;
}

// One table record of a hand-made font.
struct Record {
  std::string tag;
  uint32_t offset;
  uint32_t length;
  uint32_t checksum = 0;
};

// A header and directory holding exactly `records` (numTables = their count,
// searchRange & co. left zero), zero-extended to `total_length` bytes. The
// caller places table bytes with `place`.
inline Bytes raw_font(const std::vector<Record>& records, size_t total_length, uint32_t version = 0x00010000) {
  Bytes font(std::max(total_length, 12 + 16 * records.size()));
  put32(font, 0, version);
  put16(font, 4, static_cast<uint16_t>(records.size()));
  for (size_t i = 0; i < records.size(); ++i) {
    const size_t at = 12 + 16 * i;
    const Tag tag = tag_of(records[i].tag);
    for (size_t b = 0; b < 4; ++b) font[at + b] = tag[b];
    put32(font, at + 4, records[i].checksum);
    put32(font, at + 8, records[i].offset);
    put32(font, at + 12, records[i].length);
  }
  return font;
}

inline void place(Bytes& font, size_t offset, ByteView data) {
  if (offset + data.size() > font.size()) throw std::out_of_range("place");
  std::copy(data.begin(), data.end(), font.begin() + offset);
}

// Records every request; hands out real storage unless told to refuse.
class RecordingOutput : public glyphward::OutputBuffer {
 public:
  struct Refused {
    size_t size;
  };

  // With refuse set, allocate() throws Refused{size} instead of returning
  // storage: lets a test see the size asked for without providing it.
  explicit RecordingOutput(bool refuse = false) : refuse_(refuse) {}

  uint8_t* allocate(size_t size) override {
    requests.push_back(size);
    if (refuse_) throw Refused{size};
    bytes.assign(size, 0xA5);  // not zero: the writer must fill every byte
    return bytes.data();
  }

  std::vector<size_t> requests;
  Bytes bytes;

 private:
  bool refuse_;
};

// A byte count far beyond any real buffer, viewed over a few real bytes.
// Only an implementation that reads past its size checks would touch more.
inline ByteView fake_view(uint64_t size) {
  static const uint8_t kFew[16] = {};
  return ByteView(kFew, static_cast<size_t>(size));
}

}  // namespace gwtest
