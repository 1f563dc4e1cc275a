// Internal-invariant failures: conditions the library treats as impossible
// for sound state. They end the work with a message instead of a FontError
// and are reported to Python as PanicException by the module boundary.
#pragma once

#include <exception>
#include <string>

namespace glyphward {

class InvariantFailure : public std::exception {
 public:
  InvariantFailure(std::string message, const char* file, int line)
      : message_(std::move(message)), file_(file), line_(line) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const char* file() const { return file_; }
  int line() const { return line_; }

 private:
  std::string message_;
  const char* file_;
  int line_;
};

#define GLYPHWARD_INVARIANT_FAILURE(message) \
  throw ::glyphward::InvariantFailure((message), __FILE__, __LINE__)

}  // namespace glyphward
