// glyphward_woff2: the WOFF2 table transforms undone, as the reference
// decoder undoes them. The module glue, modelled on src/module/ and CPython's
// Modules/xxlimited.c: limited API (abi3, 3.9), single-phase initialisation,
// one exported symbol.
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "../module/py_ref.h"
#include "../module/python.h"
#include "../sfnt/font_error.h"
#include "../woff2/reconstruct_glyf.h"
#include "../woff2/reconstruct_hmtx.h"

namespace glyphward::woff2_module {
namespace {

using module::PyRef;

// What a native computation ended with, to be turned into a Python result
// once the interpreter lock is held again.
enum class Outcome { Done, Failed, OutOfMemory, Internal };

// Runs `body` without the interpreter lock; `body` sets `error` on failure.
// No C++ exception leaves this function.
template <class Body>
Outcome run_unlocked(Body&& body, std::string* message) {
  Outcome outcome = Outcome::Done;
  Py_BEGIN_ALLOW_THREADS
  try {
    outcome = body(message) ? Outcome::Done : Outcome::Failed;
  } catch (const std::bad_alloc&) {
    outcome = Outcome::OutOfMemory;
  } catch (const std::exception& error) {
    *message = error.what();
    outcome = Outcome::Internal;
  } catch (...) {
    *message = "unknown native exception";
    outcome = Outcome::Internal;
  }
  Py_END_ALLOW_THREADS
  return outcome;
}

// Raises the Python exception for a failed outcome; returns whether it did.
bool raise_for(Outcome outcome, const std::string& message) {
  switch (outcome) {
    case Outcome::Done:
      return false;
    case Outcome::Failed:
      PyErr_SetString(PyExc_ValueError, message.c_str());
      return true;
    case Outcome::OutOfMemory:
      PyErr_NoMemory();
      return true;
    case Outcome::Internal:
      PyErr_SetString(PyExc_SystemError, ("glyphward_woff2 internal failure: " + message).c_str());
      return true;
  }
  return true;
}

// A non-negative int argument that fits in 64 bits; `limit` bounds it further.
bool to_count(PyObject* object, const char* name, uint64_t limit, uint64_t* out) {
  if (!PyLong_Check(object) || PyBool_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be int", name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "argument '%s' must be between 0 and %llu", name,
                 static_cast<unsigned long long>(limit));
    return false;
  }
  if (value > limit) {
    PyErr_Format(PyExc_ValueError, "argument '%s' must be between 0 and %llu", name,
                 static_cast<unsigned long long>(limit));
    return false;
  }
  *out = value;
  return true;
}

ByteView view_of_bytes(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);  // cannot fail for bytes
  return ByteView(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
}

PyObject* bytes_of(const Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* reconstruct_glyf(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"transformed_glyf", "loca_length", "max_glyf_length", "overlap_bitmap",
                                   nullptr};
  PyObject* transformed = nullptr;
  PyObject* loca_length_object = nullptr;
  PyObject* max_length_object = nullptr;
  int overlap_bitmap = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SOO|$p:reconstruct_glyf", const_cast<char**>(keywords),
                                   &transformed, &loca_length_object, &max_length_object, &overlap_bitmap)) {
    return nullptr;
  }
  uint64_t loca_length = 0;
  uint64_t max_length = 0;
  if (!to_count(loca_length_object, "loca_length", UINT32_MAX, &loca_length) ||
      !to_count(max_length_object, "max_glyf_length", UINT64_MAX, &max_length)) {
    return nullptr;
  }
  const ByteView input = view_of_bytes(transformed);
  woff2::ReconstructedGlyf rebuilt;
  std::string message;
  const Outcome outcome = run_unlocked(
      [&](std::string* error) {
        Result<woff2::ReconstructedGlyf> result = woff2::reconstruct_glyf(input, loca_length, max_length, overlap_bitmap != 0);
        if (!result) {
          *error = result.error().message();
          return false;
        }
        rebuilt = std::move(*result);
        return true;
      },
      &message);
  if (raise_for(outcome, message)) return nullptr;
  PyRef glyf(bytes_of(rebuilt.glyf));
  if (!glyf) return nullptr;
  PyRef loca(bytes_of(rebuilt.loca));
  if (!loca) return nullptr;
  return PyTuple_Pack(2, glyf.get(), loca.get());
}

PyObject* reconstruct_hmtx(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"transformed_hmtx", "num_glyphs", "num_hmetrics", "glyf", "loca", nullptr};
  PyObject* transformed = nullptr;
  PyObject* num_glyphs_object = nullptr;
  PyObject* num_hmetrics_object = nullptr;
  PyObject* glyf = nullptr;
  PyObject* loca = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SOOSS:reconstruct_hmtx", const_cast<char**>(keywords),
                                   &transformed, &num_glyphs_object, &num_hmetrics_object, &glyf, &loca)) {
    return nullptr;
  }
  uint64_t num_glyphs = 0;
  uint64_t num_hmetrics = 0;
  if (!to_count(num_glyphs_object, "num_glyphs", 0xffff, &num_glyphs) ||
      !to_count(num_hmetrics_object, "num_hmetrics", 0xffff, &num_hmetrics)) {
    return nullptr;
  }
  const ByteView input = view_of_bytes(transformed);
  const ByteView glyf_view = view_of_bytes(glyf);
  const ByteView loca_view = view_of_bytes(loca);
  Bytes hmtx;
  std::string message;
  const Outcome outcome = run_unlocked(
      [&](std::string* error) {
        Result<Bytes> result = woff2::reconstruct_hmtx(input, static_cast<uint32_t>(num_glyphs),
                                                       static_cast<uint32_t>(num_hmetrics), glyf_view, loca_view);
        if (!result) {
          *error = result.error().message();
          return false;
        }
        hmtx = std::move(*result);
        return true;
      },
      &message);
  if (raise_for(outcome, message)) return nullptr;
  return bytes_of(hmtx);
}

PyMethodDef g_methods[] = {
    {"reconstruct_glyf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(reconstruct_glyf)),
     METH_VARARGS | METH_KEYWORDS,
     "reconstruct_glyf($module, /, transformed_glyf, loca_length, max_glyf_length, *, overlap_bitmap=True)\n--\n\n"
     "Rebuild (glyf, loca) from a WOFF2 transformed glyf table, as the reference decoder does."},
    {"reconstruct_hmtx", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(reconstruct_hmtx)),
     METH_VARARGS | METH_KEYWORDS,
     "reconstruct_hmtx($module, /, transformed_hmtx, num_glyphs, num_hmetrics, glyf, loca)\n--\n\n"
     "Rebuild hmtx from a WOFF2 transformed hmtx table, as the reference decoder does."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "glyphward_woff2",  // m_name
    "The WOFF2 glyf/loca and hmtx transforms undone byte for byte as the reference decoder does.",
    0,           // m_size: no per-module state
    g_methods,   // m_methods
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

}  // namespace
}  // namespace glyphward::woff2_module

namespace glyphward::woff2_module {
namespace {

PyObject* initialise() {
  PyRef module(PyModule_Create2(&g_definition, 3));
  if (!module) return nullptr;
  PyRef all(Py_BuildValue("[ss]", "reconstruct_glyf", "reconstruct_hmtx"));
  if (!all || PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
  all.release();  // PyModule_AddObject took the reference
  return module.release();
}

}  // namespace
}  // namespace glyphward::woff2_module

PyMODINIT_FUNC PyInit_glyphward_woff2(void) { return glyphward::woff2_module::initialise(); }
