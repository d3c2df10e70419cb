#include "py_arrow_source.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

namespace tidemark::py {

namespace {

using Source = ArrowSourceState;

// ---------------------------------------------------------------- stream

struct StreamPrivate {
  std::unique_ptr<arrow::BatchSource> source;
  std::string last_error;
};

// Returns the thread state of the calling thread when it holds the
// interpreter lock, else nullptr. The thread's own state (thread-local) must
// be the one that runs: in 3.11 the "current" state is process-wide, the one
// of whichever thread holds the lock. PyGILState_Check does the same test but
// answers "yes" for every thread once a subinterpreter has existed.
PyThreadState* current_thread_state() {
  PyThreadState* mine = PyGILState_GetThisThreadState();
#if PY_VERSION_HEX >= 0x030D0000
  PyThreadState* running = PyThreadState_GetUnchecked();
#else
  PyThreadState* running = _PyThreadState_UncheckedGet();
#endif
  return mine != nullptr && mine == running ? mine : nullptr;
}

// Releases the interpreter lock for the life of the guard when this thread
// holds it; a consumer that calls from a thread of its own holds nothing.
class AllowThreads {
 public:
  AllowThreads() : saved_(current_thread_state() != nullptr ? PyEval_SaveThread() : nullptr) {}
  ~AllowThreads() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* saved_;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  try {
    arrow::export_schema(p->source->columns(), out);
    return 0;
  } catch (...) {
    p->last_error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  AllowThreads unlocked;
  try {
    std::string error;
    switch (p->source->next_batch(out, error)) {
      case arrow::BatchStep::kBatch:
        return 0;
      case arrow::BatchStep::kEnd:
        *out = ArrowArray{};  // a released array marks the end
        return 0;
      case arrow::BatchStep::kError:
        p->last_error = std::move(error);
        return EIO;
    }
  } catch (...) {
    p->last_error = "out of memory";
    return ENOMEM;
  }
  return EIO;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  return p->last_error.empty() ? nullptr : p->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
}

// ---------------------------------------------------------------- capsules

// Capsule destructors: release what the consumer did not take, then free
// the struct itself.
void free_stream_capsule(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  std::free(stream);
}

void free_schema_capsule(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) {
    PyErr_Clear();
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  std::free(schema);
}

// Returns a new capsule owning `pointer` (malloc'd), or nullptr with an
// exception set after freeing it through `destroy`'s release.
template <class T>
PyObject* new_capsule(T* pointer, const char* name, PyCapsule_Destructor destroy) {
  PyObject* capsule = PyCapsule_New(pointer, name, destroy);
  if (capsule == nullptr) {
    if (pointer->release != nullptr) pointer->release(pointer);
    std::free(pointer);
  }
  return capsule;
}

// ---------------------------------------------------------------- methods

PyObject* schema(Source& self, const Args&) {
  auto* out = static_cast<ArrowSchema*>(std::malloc(sizeof(ArrowSchema)));
  if (out == nullptr) return PyErr_NoMemory();
  try {
    arrow::export_schema(self.columns, out);
  } catch (...) {
    std::free(out);
    throw;
  }
  return new_capsule(out, "arrow_schema", free_schema_capsule);
}

PyObject* stream(Source& self, const Args&) {
  auto opened = self.open();
  if (!opened.ok()) return raise_runtime(opened.error_text());
  auto p = std::make_unique<StreamPrivate>();
  p->source = std::move(opened.value());
  auto* out = static_cast<ArrowArrayStream*>(std::malloc(sizeof(ArrowArrayStream)));
  if (out == nullptr) return PyErr_NoMemory();
  *out = ArrowArrayStream{};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  out->private_data = p.release();
  return new_capsule(out, "arrow_array_stream", free_stream_capsule);
}

constexpr Method<Source> kSchema{"ArrowSource.schema()", Access::kShared, schema, {}};
constexpr Method<Source> kStream{"ArrowSource.stream()", Access::kShared, stream, {}};

PyMethodDef methods[] = {
    method_def<Source, kSchema>("schema",
                                "schema($self)\n--\n\n"
                                "The ArrowSchema of the batches, in a capsule named arrow_schema."),
    method_def<Source, kStream>(
        "stream",
        "stream($self)\n--\n\n"
        "A new ArrowArrayStream from the start, in a capsule named arrow_array_stream."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "ArrowSource objects are made by tidemark_tools functions");
  return nullptr;
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Source>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("A source of Arrow streams made by a tidemark_tools function.")},
    {0, nullptr},
};

PyType_Spec spec = {"tidemark_tools._native.ArrowSource", sizeof(Wrapped<Source>), 0, kClassFlags,
                    slots};

}  // namespace

const ClassDef kArrowSourceClass{"ArrowSource", &spec, &type_object<Source>()};

PyObject* new_arrow_source(ArrowSourceState state) {
  PyTypeObject* type = type_object<Source>();
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* w = reinterpret_cast<Wrapped<Source>*>(obj);
  w->flag = AccessFlag{};
  new (&w->native) Source(std::move(state));
  return obj;
}

}  // namespace tidemark::py
