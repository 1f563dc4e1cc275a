// The library's error value and the result type that carries it.
#pragma once

#include <string>
#include <system_error>
#include <utility>
#include <variant>

#include "invariant.h"

namespace glyphward {

enum class FontErrorKind {
  NoC2paTable,
  NotSfnt,
  FontCollection,
  WoffFont,
  InvalidFont,
  InvalidC2paTable,
  ValidationFailed,
  IoError,
};

// One of eight kinds with its payload: a detail text for InvalidFont,
// InvalidC2paTable and ValidationFailed, an error code for IoError, nothing
// for the rest. The message is formed only when asked for.
class FontError {
 public:
  static FontError no_c2pa_table() { return FontError(FontErrorKind::NoC2paTable); }
  static FontError not_sfnt() { return FontError(FontErrorKind::NotSfnt); }
  static FontError font_collection() { return FontError(FontErrorKind::FontCollection); }
  static FontError woff_font() { return FontError(FontErrorKind::WoffFont); }
  static FontError invalid_font(std::string detail) {
    return FontError(FontErrorKind::InvalidFont, std::move(detail));
  }
  static FontError invalid_c2pa_table(std::string detail) {
    return FontError(FontErrorKind::InvalidC2paTable, std::move(detail));
  }
  static FontError validation_failed(std::string detail) {
    return FontError(FontErrorKind::ValidationFailed, std::move(detail));
  }
  static FontError io_error(std::error_code code) {
    FontError error(FontErrorKind::IoError);
    error.io_code_ = code;
    return error;
  }

  FontErrorKind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }
  std::error_code io_code() const { return io_code_; }

  // The text shown to users, e.g. "invalid font: table directory truncated".
  std::string message() const;

  bool operator==(const FontError& other) const {
    return kind_ == other.kind_ && detail_ == other.detail_ && io_code_ == other.io_code_;
  }

 private:
  explicit FontError(FontErrorKind kind, std::string detail = {})
      : kind_(kind), detail_(std::move(detail)) {}

  FontErrorKind kind_;
  std::string detail_;
  std::error_code io_code_;
};

// Either a value of T or a FontError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}           // NOLINT
  Result(FontError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return checked_value(); }
  const T& value() const& { return const_cast<Result*>(this)->checked_value(); }
  T&& value() && { return std::move(checked_value()); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const FontError& error() const {
    if (ok()) GLYPHWARD_INVARIANT_FAILURE("error() called on a successful result");
    return std::get<1>(state_);
  }

 private:
  T& checked_value() {
    if (!ok()) GLYPHWARD_INVARIANT_FAILURE("value() called on a failed result");
    return std::get<0>(state_);
  }

  std::variant<T, FontError> state_;
};

}  // namespace glyphward
