// The entry point of tidemark_tools._native, the private native module of the
// tidemark_tools package. It is built from the same core as the tidemark
// module and binds its functions with the same mechanism (binding.h); the
// package's Python layer validates and documents the public arguments and
// calls these functions.
//
// To add a function: define a `const Function kName{...}` in its own unit,
// declare it in functions.h and add one function_def line to kFunctions below.
#include "binding.h"
#include "functions.h"
#include "py_symbol_master.h"

namespace tidemark::py {

namespace {

// The module's functions, in the order of its documentation; each docstring
// starts with the function's text signature.
PyMethodDef kFunctions[] = {
    function_def<kScanFeed>("scan_feed",
                            "scan_feed(paths, names, master=None, columns=None, tokens=None, "
                            "types=None, start=None, end=None, limit=None, time_zone='', "
                            "price_scale=-1, batch_rows=65536, merge_by_time=False, "
                            "follow_flush_ns=None, idle_timeout_ns=None)\n--\n\n"
                            "The messages of feed files as an ArrowSource of record batches."),
    function_def<kBookSeries>(
        "book_series",
        "book_series(paths, tokens=None, start=None, end=None, levels=5, every_ns=None, "
        "types=None, batch_rows=65536, changes_only=False, nulls=False, merge_by_time=False, "
        "threads=1, follow_flush_ns=None, idle_timeout_ns=None, file_column=False)"
        "\n--\n\n"
        "The order books of feed files after every message (or every change) or on a\n"
        "time grid, as an ArrowSource of record batches."),
    function_def<kTrades>(
        "trades",
        "trades(paths, tokens=None, start=None, end=None, batch_rows=65536, "
        "merge_by_time=False, follow_flush_ns=None, idle_timeout_ns=None, threads=1, "
        "file_column=False)"
        "\n--\n\n"
        "The trade messages of feed files with their aggressor and the best levels\n"
        "just before each, as an ArrowSource of record batches."),
    function_def<kBars>(
        "bars",
        "bars(paths, every_ns, tokens=None, start=None, end=None, batch_rows=65536, "
        "merge_by_time=False, threads=1, file_column=False)\n--\n\n"
        "Bars of the trades of feed files per token and interval, as an ArrowSource."),
    function_def<kCheckFeed>(
        "check_feed",
        "check_feed(paths, jump_ns=3600000000000, merge_by_time=False, threads=1)\n--\n\n"
        "The integrity check of each feed file, as a list of dicts."),
    function_def<kFeedStats>(
        "feed_stats",
        "feed_stats(path, progress=None)\n--\n\n"
        "Counts what the feed file at path holds, in one pass with the streaming\n"
        "framing; calls progress(bytes_scanned) between steps when given."),
    {nullptr, nullptr, 0, nullptr},
};

// Classes registered as module attributes (their instances are made only by
// the functions above).
const ClassDef* const kClasses[] = {&kArrowSourceClass};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tidemark_tools._native",
    "Private native part of tidemark_tools; use the tidemark_tools package instead.",
    0,  // as for tidemark: a second interpreter is refused below
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; -1 before that.
int64_t g_owner_interpreter = -1;

PyObject* init_module() {
  if (claim_interpreter(g_owner_interpreter, "tidemark_tools") < 0) return nullptr;
  if (adopt_symbol_master_type() < 0) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  for (const ClassDef* c : kClasses) {
    if (*c->slot == nullptr) {
      PyObject* type = PyType_FromSpec(c->spec);
      if (type == nullptr) {
        Py_DECREF(module);
        return nullptr;
      }
      *c->slot = reinterpret_cast<PyTypeObject*>(type);
    }
    if (PyModule_AddObjectRef(module, c->name, reinterpret_cast<PyObject*>(*c->slot)) < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  return module;
}

}  // namespace

int adopt_symbol_master_type() {
  // Both modules are built from the same sources in the same build, so a
  // SymbolMaster instance made by tidemark has exactly the layout
  // Wrapped<SymbolMasterState> of this module. The type is kept (a strong
  // reference held for the life of the process) once found.
  PyTypeObject*& slot = type_object<SymbolMasterState>();
  if (slot != nullptr) return 0;
  PyObject* tidemark = PyImport_ImportModule("tidemark");
  if (tidemark == nullptr) return -1;
  PyObject* type = PyObject_GetAttrString(tidemark, kSymbolMasterName);
  Py_DECREF(tidemark);
  if (type == nullptr) return -1;
  if (!PyType_Check(type)) {
    Py_DECREF(type);
    PyErr_SetString(PyExc_ImportError, "tidemark.SymbolMaster is not a class");
    return -1;
  }
  slot = reinterpret_cast<PyTypeObject*>(type);  // owned for the life of the process
  return 0;
}

}  // namespace tidemark::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return tidemark::py::guarded([] { return tidemark::py::init_module(); });
}
