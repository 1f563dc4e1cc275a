#include "call_protocol.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace glyphward::module {
namespace {

// The PanicException class, made on first need and kept for the process.
PyObject* g_panic_type = nullptr;

constexpr const char kPanicDoc[] =
    "The exception raised when glyphward's native code meets an internal failure.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates all the way up the stack and ends the interpreter.";

std::string full_name(const FunctionSignature& signature) {
  return std::string(signature.function_name) + "()";
}

void raise_type_error(const std::string& message) {
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// The index of the parameter named by keyword `key`, or -1.
Py_ssize_t parameter_index(const FunctionSignature& signature, PyObject* key) {
  if (!(PyType_GetFlags(Py_TYPE(key)) & Py_TPFLAGS_UNICODE_SUBCLASS)) return -1;
  PyRef encoded(PyUnicode_AsUTF8String(key));
  if (!encoded) {
    PyErr_Clear();
    return -1;
  }
  const char* text = PyBytes_AsString(encoded.get());
  const Py_ssize_t length = PyBytes_Size(encoded.get());
  for (size_t i = 0; i < signature.parameter_count; ++i) {
    const char* name = signature.parameter_names[i];
    if (static_cast<size_t>(length) == std::strlen(name) && std::memcmp(text, name, static_cast<size_t>(length)) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

bool bind_arguments(const FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                    ParameterSlots* slots) {
  slots->fill(nullptr);
  const size_t m = signature.parameter_count;
  const size_t r = signature.required_count;
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  const size_t n = static_cast<size_t>(given);

  for (size_t i = 0; i < n && i < m; ++i) (*slots)[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (n > m) {
    const char* verb = n == 1 ? "was" : "were";
    std::string message = full_name(signature) + " takes ";
    if (r == m) {
      message += std::to_string(m);
    } else {
      message += "from " + std::to_string(r) + " to " + std::to_string(m);
    }
    message += " positional arguments but " + std::to_string(n) + " " + verb + " given";
    raise_type_error(message);
    return false;
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      const Py_ssize_t index = parameter_index(signature, key);
      if (index < 0) {
        const std::string name = full_name(signature);
        PyRef message(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", name.c_str(), key));
        if (message) PyErr_SetObject(PyExc_TypeError, message.get());
        return false;
      }
      PyObject*& slot = (*slots)[static_cast<size_t>(index)];
      if (slot != nullptr) {
        raise_type_error(full_name(signature) + " got multiple values for argument '" +
                         signature.parameter_names[static_cast<size_t>(index)] + "'");
        return false;
      }
      slot = value;
    }
  }

  if (n < r) {
    std::vector<const char*> missing;
    for (size_t i = n; i < r; ++i) {
      if ((*slots)[i] == nullptr) missing.push_back(signature.parameter_names[i]);
    }
    if (!missing.empty()) {
      raise_type_error(full_name(signature) + " missing " + std::to_string(missing.size()) +
                       " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                       quoted_list(missing));
      return false;
    }
  }
  return true;
}

PyRef type_name(PyObject* object) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name) name = PyRef(PyObject_Str(name.get()));
  if (!name) {
    PyErr_Clear();
    name = PyRef(PyUnicode_FromString("<failed to extract type name>"));
  }
  return name;
}

void raise_cannot_convert(PyObject* object, const char* kind) {
  PyRef name = type_name(object);
  if (!name) return;
  PyRef message(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), kind));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

bool extract_bytes(PyObject* object, ByteView* out) {
  if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
    raise_cannot_convert(object, "PyBytes");
    return false;
  }
  char* data = PyBytes_AsString(object);
  const Py_ssize_t size = PyBytes_Size(object);
  if (data == nullptr || size < 0) return false;
  *out = ByteView(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
  return true;
}

void wrap_argument_error(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type(type), old_value(value), old_traceback(traceback);

  PyRef text(PyObject_Str(old_value.get()));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  PyRef wrapped(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return;
  // Carry over an explicit cause; setting it (even to none) also suppresses
  // the context, as `raise ... from` does.
  PyException_SetCause(wrapped.get(), PyException_GetCause(old_value.get()));
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

void raise_font_error(const FontError& error) {
  const std::string message = error.message();
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_panic(const char* text, const char* file, int line) noexcept {
  std::fprintf(stderr, "glyphward: internal failure at %s:%d: %s\n", file, line, text);
  std::fflush(stderr);
  if (g_panic_type == nullptr) {
    g_panic_type =
        PyErr_NewExceptionWithDoc("glyphward_native.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) return;
  }
  PyRef message(PyUnicode_FromString(text));
  if (!message) return;
  PyRef exception(PyObject_CallFunctionObjArgs(g_panic_type, message.get(), nullptr));
  if (!exception) return;
  PyErr_SetObject(g_panic_type, exception.get());
}

}  // namespace glyphward::module
