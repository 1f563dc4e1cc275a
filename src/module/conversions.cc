#include "conversions.h"

#include "call_protocol.h"
#include "py_ref.h"

namespace glyphward::module {
namespace {

// Capacity reserved up front from a sequence's claimed length; the buffer
// grows past it only with items actually taken.
constexpr Py_ssize_t kMaxReservation = Py_ssize_t{1} << 20;

bool is_int(PyObject* object) { return PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_LONG_SUBCLASS; }
bool is_str(PyObject* object) { return PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS; }

bool item_to_byte(PyObject* item, uint8_t* out) {
  long value;
  if (is_int(item)) {
    value = PyLong_AsLong(item);
  } else {
    PyRef index(PyNumber_Index(item));
    if (!index) return false;
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint8_t>(value);
  return true;
}

// bytes and bytearray themselves iterate as their own bytes; read them
// directly. Subclasses may override iteration and take the general path.
bool copy_exact_byte_buffer(PyObject* object, Bytes* out) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (Py_TYPE(object) == &PyBytes_Type) {
    data = PyBytes_AsString(object);
    size = PyBytes_Size(object);
  } else if (Py_TYPE(object) == &PyByteArray_Type) {
    data = PyByteArray_AsString(object);
    size = PyByteArray_Size(object);
  } else {
    return false;
  }
  out->assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size);
  return true;
}

}  // namespace

bool extract_byte_sequence(PyObject* object, Bytes* out) {
  if (is_str(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    return false;
  }
  out->clear();
  if (copy_exact_byte_buffer(object, out)) return true;

  Py_ssize_t claimed = PySequence_Size(object);
  if (claimed < 0) {
    PyErr_Clear();
    claimed = 0;
  }
  out->reserve(static_cast<size_t>(claimed < kMaxReservation ? claimed : kMaxReservation));

  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    uint8_t byte;
    if (!item_to_byte(item.get(), &byte)) return false;
    out->push_back(byte);
  }
  return !PyErr_Occurred();
}

bool extract_u64(PyObject* object, uint64_t* out) {
  unsigned long long value;
  if (is_int(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index(PyNumber_Index(object));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool extract_text(PyObject* object, std::string* out) {
  if (!is_str(object)) {
    raise_cannot_convert(object, "PyString");
    return false;
  }
  PyRef encoded(PyUnicode_AsUTF8String(object));
  if (!encoded) return false;
  const char* data = PyBytes_AsString(encoded.get());
  const Py_ssize_t size = PyBytes_Size(encoded.get());
  if (data == nullptr || size < 0) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool extract_optional_text(PyObject* slot, std::optional<std::string>* out) {
  if (slot == nullptr || slot == Py_None) {
    out->reset();
    return true;
  }
  std::string text;
  if (!extract_text(slot, &text)) return false;
  *out = std::move(text);
  return true;
}

}  // namespace glyphward::module
