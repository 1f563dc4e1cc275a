// Conversions of the arguments other than font bytes: byte sequences,
// unsigned 64-bit integers and text. Each returns false with a Python
// exception pending when the object cannot be converted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "../sfnt/bytes.h"
#include "python.h"

namespace glyphward::module {

// Any sequence but str whose items are integers 0 to 255.
bool extract_byte_sequence(PyObject* object, Bytes* out);

// int, or any object with __index__, in 0 .. 2^64 - 1.
bool extract_u64(PyObject* object, uint64_t* out);

// str (or a subclass), as strict UTF-8.
bool extract_text(PyObject* object, std::string* out);

// Nothing for an empty slot or None, otherwise as extract_text.
bool extract_optional_text(PyObject* slot, std::optional<std::string>* out);

}  // namespace glyphward::module
