#include "results.h"

#include "../sfnt/invariant.h"

namespace glyphward::module {
namespace {

PyObject* checked(PyObject* object) {
  if (object == nullptr) {
    PyErr_Print();
    GLYPHWARD_INVARIANT_FAILURE("Python API call failed");
  }
  return object;
}

}  // namespace

PyObject* bytes_result(ByteView bytes) {
  return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

PyObject* optional_text_result(const std::optional<std::string_view>& text) {
  if (!text) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  return checked(PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
}

PyObject* bool_result(bool value) {
  PyObject* object = value ? Py_True : Py_False;
  Py_IncRef(object);
  return object;
}

PyObject* ranges_result(const std::vector<ExclusionRange>& ranges) {
  PyRef list(checked(PyList_New(static_cast<Py_ssize_t>(ranges.size()))));
  for (size_t i = 0; i < ranges.size(); ++i) {
    PyRef pair(checked(PyTuple_New(2)));
    PyObject* start = checked(PyLong_FromUnsignedLongLong(ranges[i].start));
    PyTuple_SetItem(pair.get(), 0, start);
    PyObject* length = checked(PyLong_FromUnsignedLongLong(ranges[i].length));
    PyTuple_SetItem(pair.get(), 1, length);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list.release();
}

uint8_t* BytesOutput::allocate(size_t size) {
  object_ = PyRef(checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
  return reinterpret_cast<uint8_t*>(PyBytes_AsString(object_.get()));
}

}  // namespace glyphward::module
