// The protocol every module function follows: binding arguments to
// parameters, converting them, and raising what goes wrong.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

#include "../sfnt/bytes.h"
#include "../sfnt/font_error.h"
#include "../sfnt/invariant.h"
#include "py_ref.h"
#include "python.h"

namespace glyphward::module {

constexpr size_t kMaxParameters = 3;

struct FunctionSignature {
  const char* function_name;
  std::array<const char*, kMaxParameters> parameter_names;
  size_t parameter_count;
  size_t required_count;
};

// One borrowed argument per parameter, or null when not supplied.
using ParameterSlots = std::array<PyObject*, kMaxParameters>;

// Binds positional and keyword arguments to the parameters. On a call that
// does not fit, sets TypeError and returns false.
bool bind_arguments(const FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                    ParameterSlots* slots);

// The __qualname__ of `object`'s type, for messages.
PyRef type_name(PyObject* object);

// Sets TypeError "'{type}' object cannot be converted to '{kind}'".
void raise_cannot_convert(PyObject* object, const char* kind);

// A bytes object (or subclass instance), read in place. Sets TypeError and
// returns false for anything else.
bool extract_bytes(PyObject* object, ByteView* out);

// Rewords a pending exact TypeError from converting `parameter` as
// "argument '{parameter}': {message}"; leaves other exceptions as they are.
void wrap_argument_error(const char* parameter);

// Raises ValueError(message).
void raise_font_error(const FontError& error);

// Writes the diagnostic and raises PanicException(message). Never throws.
void raise_panic(const char* message, const char* file, int line) noexcept;
inline void raise_panic(const InvariantFailure& failure) noexcept {
  raise_panic(failure.what(), failure.file(), failure.line());
}

// Runs one entry point from the interpreter, turning every C++ exception into
// a Python one: std::bad_alloc into MemoryError, the rest into PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const InvariantFailure& failure) {
    raise_panic(failure);
  } catch (const std::exception& error) {
    raise_panic(error.what(), __FILE__, __LINE__);
  } catch (...) {
    raise_panic("unknown native exception", __FILE__, __LINE__);
  }
  return nullptr;
}

}  // namespace glyphward::module
