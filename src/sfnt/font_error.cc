#include "font_error.h"

namespace glyphward {

std::string FontError::message() const {
  switch (kind_) {
    case FontErrorKind::NoC2paTable:
      return "no C2PA table found in font";
    case FontErrorKind::NotSfnt:
      return "not a supported SFNT (TrueType/OpenType) font";
    case FontErrorKind::FontCollection:
      return "font collections (ttcf) are not supported";
    case FontErrorKind::WoffFont:
      return "WOFF/WOFF2 fonts are not supported; decompress to SFNT first";
    case FontErrorKind::InvalidFont:
      return "invalid font: " + detail_;
    case FontErrorKind::InvalidC2paTable:
      return "invalid C2PA table: " + detail_;
    case FontErrorKind::ValidationFailed:
      return "validation failed: " + detail_;
    case FontErrorKind::IoError:
      return "I/O error: " + io_code_.message();
  }
  return "unknown error";
}

}  // namespace glyphward
