// The module's entry point: creates the module "tidemark" and registers its
// five classes and __all__. Single-phase initialisation; the module lives in
// one interpreter of the process only.
#include "binding.h"
#include "classes.h"
#include "message_dict.h"

namespace tidemark::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tidemark",
    "",
    // 0 rather than -1: the interpreter then calls the entry point again for
    // each interpreter that imports the module, so a second one is refused
    // here instead of receiving a copy of the first one's module.
    0,
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; -1 before that.
int64_t g_owner_interpreter = -1;

const ClassDef* const kClasses[] = {
    &kMessageCacheReaderClass, &kStreamingBinaryLoaderClass, &kOrderbookBuilderClass,
    &kFeedPathBuilderClass,    &kSymbolMasterClass,
};

// Creates the type objects once per process. Returns 0, or -1 with an
// exception set (types made before the failure are kept for a retry).
int create_types() {
  for (const ClassDef* c : kClasses) {
    if (*c->slot != nullptr) continue;
    PyObject* type = PyType_FromSpec(c->spec);
    if (type == nullptr) return -1;
    *c->slot = reinterpret_cast<PyTypeObject*>(type);
  }
  return 0;
}

PyObject* init_module() {
  if (claim_interpreter(g_owner_interpreter, "tidemark") < 0) return nullptr;
  if (init_message_keys() < 0 || create_types() < 0) return nullptr;

  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* all = PyList_New(0);
  if (all == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  for (const ClassDef* c : kClasses) {
    PyObject* name = PyUnicode_FromString(c->name);
    const bool ok =
        name != nullptr &&
        PyModule_AddObjectRef(module, c->name, reinterpret_cast<PyObject*>(*c->slot)) == 0 &&
        PyList_Append(all, name) == 0;
    Py_XDECREF(name);
    if (!ok || (c == kClasses[0] && PyModule_AddObjectRef(module, "__all__", all) < 0)) {
      Py_DECREF(all);
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_DECREF(all);
  return module;
}

}  // namespace

}  // namespace tidemark::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tidemark() {
  return tidemark::py::guarded([] { return tidemark::py::init_module(); });
}
