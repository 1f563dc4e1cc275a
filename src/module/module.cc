// The module object and its initialisation.
#include "call_protocol.h"
#include "functions.h"
#include "py_ref.h"
#include "python.h"

namespace glyphward::module {
namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "glyphward",  // m_name
    "",           // m_doc: empty, not missing
    0,            // m_size: no per-module state
    nullptr,      // m_methods: added one by one below
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

// The module of the first successful initialisation, kept for the process.
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__, creating the list on first use.
bool append_to_all(PyObject* module, PyObject* name) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    GLYPHWARD_INVARIANT_FAILURE("could not append __name__ to __all__");
  }
  return true;
}

PyObject* initialise() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "glyphward may be initialised only once per interpreter process");
    return nullptr;
  }
  PyRef module(PyModule_Create2(&g_definition, 3));
  if (!module) return nullptr;
  PyRef module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;

  for (size_t i = 0; i < kFunctionCount; ++i) {
    PyMethodDef* entry = &kFunctionTable[i];
    PyRef function(PyCMethod_New(entry, module.get(), module_name.get(), nullptr));
    if (!function) return nullptr;
    PyRef name(PyUnicode_FromString(entry->ml_name));
    if (!name || !append_to_all(module.get(), name.get())) return nullptr;
    if (PyObject_SetAttr(module.get(), name.get(), function.get()) < 0) return nullptr;
  }

  g_module = module.get();
  Py_IncRef(g_module);  // kept for the rest of the process
  return module.release();
}

}  // namespace
}  // namespace glyphward::module

PyMODINIT_FUNC PyInit_glyphward(void) {
  return glyphward::module::guarded([] { return glyphward::module::initialise(); });
}
