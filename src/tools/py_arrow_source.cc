#include "py_arrow_source.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "after_fork.h"
#include "feed_input.h"

namespace tidemark::py {

namespace {

using Source = ArrowSourceState;

// ---------------------------------------------------------------- signals

// How often long work lets the interpreter run its signal handlers.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

// Returns the identity of the interpreter's main thread, the only thread
// that runs signal handlers, or 0 when it cannot be told. Called with the
// interpreter lock held.
unsigned long main_thread_ident() {
  static std::atomic<unsigned long> known{0};
  unsigned long ident = known.load(std::memory_order_relaxed);
  if (ident != 0) return ident;
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* main =
      threading != nullptr ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
  PyObject* value = main != nullptr ? PyObject_GetAttrString(main, "ident") : nullptr;
  if (value != nullptr) ident = PyLong_AsUnsignedLong(value);
  Py_XDECREF(value);
  Py_XDECREF(main);
  Py_XDECREF(threading);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  known.store(ident, std::memory_order_relaxed);
  return ident;
}

// Takes the exception set in this thread and returns the name of its type.
// The consumer that called the stream (pyarrow's C++ reader, say) turns the
// stream's failure into an exception of its own, so the handler's exception
// cannot travel further; its name goes into the stream's error text instead.
// Raising it again later (a pending call) would surprise whatever Python
// code runs next, long after the read. Called with the interpreter lock held.
std::string take_exception_name() {
  PyObject* type = PyErr_Occurred();
  std::string name = "an exception";
  if (type != nullptr && PyType_Check(type)) {
    const char* full = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    const char* dot = std::strrchr(full, '.');
    name = dot != nullptr ? dot + 1 : full;
  }
  PyErr_Clear();
  return name;
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Between chunks of a batch, lets the interpreter run its signal handlers
// when the stream is read from its main thread; a handler that raises
// (Ctrl-C raises KeyboardInterrupt) stops the work, and the stream fails
// with "interrupted (KeyboardInterrupt)". Threads the interpreter
// does not know (a consumer's own workers) run no handlers and are never
// stopped.
class SignalCheck final : public arrow::Interruption {
 public:
  explicit SignalCheck(unsigned long main_ident) : main_ident_(main_ident) {}

  bool requested() override {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + kSignalCheckInterval;
    if (main_ident_ != 0 && PyThread_get_thread_ident() != main_ident_) return false;
    if (PyGILState_GetThisThreadState() == nullptr || interpreter_finalizing()) return false;
    const PyGILState_STATE held = PyGILState_Ensure();
    const bool stop = PyErr_CheckSignals() < 0;
    if (stop) raised_ = take_exception_name();
    PyGILState_Release(held);
    return stop;
  }

  // Returns the type name of the exception that stopped the work, or "".
  const std::string& raised() const { return raised_; }

 private:
  unsigned long main_ident_;
  std::string raised_;
  std::chrono::steady_clock::time_point next_{};
};

// ---------------------------------------------------------------- stream

// A stream's state. Consumers may call one stream from several threads at
// once, so every callback takes `lock` for its whole length; each releases
// the interpreter lock before it waits for `lock`, so a thread that holds
// the interpreter never waits for one that holds `lock` and needs the
// interpreter (get_next does, to run signal handlers).
//
// fork() copies only the calling thread into the child. A stream's source
// may have threads of its own (shards, a second reader), and another thread
// of the parent may have been inside a callback: in the child those threads
// are gone, so a mutex they held stays locked for good, a condition variable
// they waited on can never be destroyed, and the source's state may be half
// changed. So in any process but the one that opened it, every callback
// fails at once without touching the source, and release leaks it rather
// than wait for threads that do not exist there.
struct StreamPrivate {
  explicit StreamPrivate(unsigned long main_ident) : signals(main_ident) {}

  // True in a child made by fork() after the stream was opened.
  bool inherited() const { return process_generation() != opened_in; }

  const uint64_t opened_in = process_generation();
  std::mutex lock;
  std::unique_ptr<arrow::BatchSource> source;
  SignalCheck signals;
  // Every distinct error text so far, the last one current: get_last_error
  // hands out a pointer that must stay valid while other threads call in.
  std::vector<std::unique_ptr<std::string>> errors;

  void set_error(std::string text) {
    if (errors.empty() || *errors.back() != text) {
      errors.push_back(std::make_unique<std::string>(std::move(text)));
    }
  }
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

// The error of every callback of a stream in a child of the process that
// opened it (see StreamPrivate).
constexpr const char* kInheritedText =
    "this stream was opened before the process forked and cannot be read in the child; "
    "open it again there";

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  if (p->inherited()) return EIO;
  AllowThreads unlocked;  // as in get_next: never wait for the mutex holding the interpreter
  std::lock_guard<std::mutex> guard(p->lock);
  try {
    arrow::export_schema(p->source->columns(), out);
    return 0;
  } catch (...) {
    p->set_error("out of memory");
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  if (p->inherited()) return EIO;
  AllowThreads unlocked;
  std::lock_guard<std::mutex> guard(p->lock);
  try {
    std::string error;
    p->source->set_interruption(&p->signals);
    // A read that waits for a pipe or a growing file asks the same check.
    const input::WaitCheck wait = [p] { return p->signals.requested(); };
    input::ScopedWaitCheck waiting(&wait);
    const arrow::BatchStep step = p->source->next_batch(out, error);
    p->source->set_interruption(nullptr);
    switch (step) {
      case arrow::BatchStep::kBatch:
        return 0;
      case arrow::BatchStep::kEnd:
        *out = ArrowArray{};  // a released array marks the end
        return 0;
      case arrow::BatchStep::kError:
        if (!p->signals.raised().empty() && error == arrow::kInterruptedText) {
          error += " (" + p->signals.raised() + ")";
        }
        p->set_error(std::move(error));
        return EIO;
    }
  } catch (...) {
    p->source->set_interruption(nullptr);
    try {
      p->set_error("out of memory");
    } catch (...) {
    }
    return ENOMEM;
  }
  return EIO;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  if (p->inherited()) return kInheritedText;
  AllowThreads unlocked;
  std::lock_guard<std::mutex> guard(p->lock);
  return p->errors.empty() ? nullptr : p->errors.back()->c_str();
}

void stream_release(ArrowArrayStream* stream) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  if (!p->inherited()) delete p;  // in a fork's child: leaked, see StreamPrivate
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
  auto p = std::make_unique<StreamPrivate>(main_thread_ident());
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

PyObject* stop(Source& self, const Args&) {
  if (self.stop) self.stop();
  Py_RETURN_NONE;
}

constexpr Method<Source> kStop{"ArrowSource.stop()", Access::kShared, stop, {}};

PyMethodDef methods[] = {
    method_def<Source, kSchema>("schema",
                                "schema($self)\n--\n\n"
                                "The ArrowSchema of the batches, in a capsule named arrow_schema."),
    method_def<Source, kStream>(
        "stream",
        "stream($self)\n--\n\n"
        "A new ArrowArrayStream from the start, in a capsule named arrow_array_stream."),
    method_def<Source, kStop>("stop",
                              "stop($self)\n--\n\n"
                              "Ends the streams that follow a growing file at their next wait."),
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
