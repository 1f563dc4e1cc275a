// Conversions of library results into new Python objects. A conversion that
// the interpreter cannot complete ends the call with the internal failure
// "Python API call failed".
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "../sfnt/bytes.h"
#include "../sfnt/manifest_operations.h"
#include "../sfnt/output_buffer.h"
#include "py_ref.h"

namespace glyphward::module {

PyObject* bytes_result(ByteView bytes);
PyObject* optional_text_result(const std::optional<std::string_view>& text);
PyObject* bool_result(bool value);
PyObject* ranges_result(const std::vector<ExclusionRange>& ranges);

// An OutputBuffer that is a new bytes object: the writer fills it in place,
// so a written font is copied exactly once.
class BytesOutput : public OutputBuffer {
 public:
  uint8_t* allocate(size_t size) override;
  // The filled bytes object, as a new reference.
  PyObject* take() { return object_.release(); }

 private:
  PyRef object_;
};

}  // namespace glyphward::module
