// The one binding mechanism shared by every class of the module.
//
// - Wrapped<T>: the Python object of a class; it owns one native T and the
//   access flag that guards it against re-entrant conflicting use.
// - Method<T>: a method's declaration (name, parameters, access, docstring
//   and implementation). method_def() turns it into a PyMethodDef whose
//   trampoline binds the arguments, takes the object, runs the
//   implementation and releases the object, with no C++ exception ever
//   reaching the interpreter.
// - Args::get: converts one bound argument to its native type, prefixing a
//   TypeError with "argument '{name}': ".
// - extract(): the converters themselves (str, bool, integers of each width,
//   instances of the module's classes), each "returns true, or false with a
//   Python exception set".
//
// Every helper here returns either a new reference or nullptr with an
// exception set, or true/false with an exception set on false.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace tidemark::py {

// ---------------------------------------------------------------- access

enum class Access { kShared, kExclusive };

// Free (0), shared by n holders (n > 0) or held exclusively (-1).
struct AccessFlag {
  Py_ssize_t state = 0;
};

// Takes the flag; false with RuntimeError "Already borrowed" (exclusive use
// refused) or "Already mutably borrowed" (shared use refused).
bool acquire(AccessFlag& flag, Access access);
void release(AccessFlag& flag, Access access);

// Holds one access for the length of a scope.
class AccessGuard {
 public:
  AccessGuard() = default;
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard() { reset(); }

  // Returns false with the conflict's RuntimeError set.
  bool take(AccessFlag& flag, Access access) {
    reset();
    if (!acquire(flag, access)) return false;
    flag_ = &flag;
    access_ = access;
    return true;
  }
  void reset() {
    if (flag_) release(*flag_, access_);
    flag_ = nullptr;
  }

 private:
  AccessFlag* flag_ = nullptr;
  Access access_ = Access::kShared;
};

// ---------------------------------------------------------------- objects

template <class T>
struct Wrapped {
  PyObject_HEAD AccessFlag flag;
  T native;
};

// The type object of each wrapped native class, created once per process.
template <class T>
inline PyTypeObject*& type_object() {
  static PyTypeObject* type = nullptr;
  return type;
}

// The native object behind a Python instance of T's class, or nullptr.
template <class T>
inline Wrapped<T>* as_wrapped(PyObject* obj) {
  PyTypeObject* type = type_object<T>();
  if (type == nullptr || Py_TYPE(obj) != type) return nullptr;
  return reinterpret_cast<Wrapped<T>*>(obj);
}

// ---------------------------------------------------------------- modules

// Lets a module be imported in one interpreter only: the first interpreter to
// call this for `owner` (-1 before that) becomes its owner, and any other gets
// ImportError "{module} can be imported in only one interpreter per process".
// Returns 0, or -1 with an exception set.
int claim_interpreter(int64_t& owner, const char* module);

// ---------------------------------------------------------------- errors

// Sets RuntimeError with `text`; returns nullptr for use in returns.
PyObject* raise_runtime(const std::string& text);
// Sets TypeError with `text`; returns nullptr.
PyObject* raise_type(const std::string& text);
// Sets the module's internal-fault exception (derived from BaseException).
void raise_internal_fault(const char* text);
// Turns the C++ exception being handled into a Python exception.
void raise_from_current_exception();
// Replaces a pending TypeError by "argument '{name}': {message}".
void prefix_argument_error(const char* name);
// OverflowError "out of range integral type conversion attempted".
void raise_int_overflow();

// Returns a new list of make(item) for every item, or nullptr with an
// exception set; `make` returns a new reference or nullptr.
template <class Items, class Make>
PyObject* new_list(const Items& items, Make&& make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* value = make(item);
    if (value == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i++, value);
  }
  return list;
}

// ---------------------------------------------------------------- converters

// Converts `obj` to a native value. Returns true, or false with the Python
// exception set; the message names no argument (Args::get adds that).
bool extract(PyObject* obj, std::string& out);
bool extract(PyObject* obj, std::string_view& out);  // borrows obj's UTF-8
bool extract(PyObject* obj, bool& out);
bool extract_int64(PyObject* obj, int64_t& out);
bool extract_uint64(PyObject* obj, uint64_t& out);
// Integers narrower than 64 bits: the interpreter's conversion to a C long,
// then a range check with the module's OverflowError text.
bool extract_narrow(PyObject* obj, long min, long max, long& out);

template <class I>
  requires std::is_integral_v<I> && (!std::is_same_v<I, bool>)
bool extract(PyObject* obj, I& out) {
  if constexpr (sizeof(I) == 8 && std::is_signed_v<I>) {
    int64_t v;
    if (!extract_int64(obj, v)) return false;
    out = static_cast<I>(v);
  } else if constexpr (sizeof(I) == 8) {
    uint64_t v;
    if (!extract_uint64(obj, v)) return false;
    out = static_cast<I>(v);
  } else {
    long v;
    if (!extract_narrow(obj, static_cast<long>(std::numeric_limits<I>::min()),
                        static_cast<long>(std::numeric_limits<I>::max()), v)) {
      return false;
    }
    out = static_cast<I>(v);
  }
  return true;
}

// The TypeError "'{type}' object cannot be converted to '{expected}'".
void raise_cannot_convert(PyObject* obj, const char* expected);

// An instance of one of the module's classes, taken for the given access
// while this value lives.
template <class T>
class Borrowed {
 public:
  T* get() const { return &obj_->native; }
  T& operator*() const { return obj_->native; }
  T* operator->() const { return &obj_->native; }

  // Returns false with TypeError (wrong class) or RuntimeError (conflict).
  bool take(PyObject* obj, const char* class_name, Access access) {
    Wrapped<T>* w = as_wrapped<T>(obj);
    if (w == nullptr) {
      raise_cannot_convert(obj, class_name);
      return false;
    }
    if (!guard_.take(w->flag, access)) return false;
    obj_ = w;
    return true;
  }

 private:
  Wrapped<T>* obj_ = nullptr;
  AccessGuard guard_;
};

// ---------------------------------------------------------------- arguments

struct Param {
  const char* name;
  bool required;
};

inline constexpr std::size_t kMaxParams = 16;

// The arguments of one call, bound to the declared parameters: slot i holds
// a borrowed reference or nullptr when omitted.
class Args {
 public:
  PyObject* operator[](std::size_t i) const { return values_[i]; }
  // True when the argument was omitted or given as None.
  bool absent(std::size_t i) const { return values_[i] == nullptr || values_[i] == Py_None; }

  // Converts argument i; an absent optional argument leaves `out` as it is.
  // Returns false with the exception set (a TypeError names the argument).
  template <class V>
  bool get(std::size_t i, V& out) const {
    if (absent(i) && !params_[i].required) return true;
    if (!extract(values_[i], out)) {
      prefix_argument_error(params_[i].name);
      return false;
    }
    return true;
  }
  template <class V>
  bool get(std::size_t i, std::optional<V>& out) const {
    if (absent(i)) {
      out.reset();
      return true;
    }
    V v{};
    if (!get(i, v)) return false;
    out = std::move(v);
    return true;
  }
  // Takes argument i as an instance of class T with the given access.
  template <class T>
  bool get(std::size_t i, Borrowed<T>& out, const char* class_name, Access access) const {
    if (!out.take(values_[i], class_name, access)) {
      prefix_argument_error(params_[i].name);
      return false;
    }
    return true;
  }

  // Binds positional and keyword arguments (vectorcall layout) to `params`.
  // Returns false with the binding TypeError set.
  bool bind(const char* qualname, const Param* params, std::size_t nparams, PyObject* const* args,
            Py_ssize_t nargs, PyObject* kwnames);
  // The same for a tuple and an optional dict (tp_new's layout).
  bool bind_tuple(const char* qualname, const Param* params, std::size_t nparams, PyObject* tuple,
                  PyObject* kwargs);

 private:
  bool bind_positional(const char* qualname, const Param* params, std::size_t nparams,
                       PyObject* const* args, Py_ssize_t nargs);
  bool assign_keyword(const char* qualname, PyObject* key, PyObject* value);
  bool finish(const char* qualname, Py_ssize_t nargs);

  const Param* params_ = nullptr;
  std::size_t nparams_ = 0;
  std::array<PyObject*, kMaxParams> values_{};
};

// ---------------------------------------------------------------- methods

template <class T>
using MethodImpl = PyObject* (*)(T& self, const Args& args);

template <class T>
struct Method {
  const char* qualname;  // "Class.method()", used in binding errors
  Access access;
  MethodImpl<T> impl;
  std::array<Param, kMaxParams> params;  // declared ones first, then empty

  // Returns the number of declared parameters.
  constexpr std::size_t nparams() const {
    std::size_t n = 0;
    while (n < kMaxParams && params[n].name != nullptr) ++n;
    return n;
  }
};

// Runs `fn` with C++ exceptions turned into Python exceptions.
template <class F>
PyObject* guarded(F&& fn) {
  try {
    return fn();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

template <class T, const Method<T>& M>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args bound;
    if (!bound.bind(M.qualname, M.params.data(), M.nparams(), args, nargs, kwnames)) {
      return nullptr;
    }
    auto* w = reinterpret_cast<Wrapped<T>*>(self);
    AccessGuard guard;
    if (!guard.take(w->flag, M.access)) return nullptr;
    return M.impl(w->native, bound);
  });
}

// The PyMethodDef of a declared method; `doc` starts with its text signature.
template <class T, const Method<T>& M>
constexpr PyMethodDef method_def(const char* name, const char* doc) {
  return PyMethodDef{
      name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_trampoline<T, M>)),
      METH_FASTCALL | METH_KEYWORDS, doc};
}

// A module-level function: like Method, but bound to no object, so there is
// no access flag to take. Its implementation receives the module object
// (borrowed) and the bound arguments.
using FunctionImpl = PyObject* (*)(PyObject* module, const Args& args);

struct Function {
  const char* qualname;  // "function()", used in binding errors
  FunctionImpl impl;
  std::array<Param, kMaxParams> params;  // declared ones first, then empty

  // Returns the number of declared parameters.
  constexpr std::size_t nparams() const {
    std::size_t n = 0;
    while (n < kMaxParams && params[n].name != nullptr) ++n;
    return n;
  }
};

template <const Function& F>
PyObject* function_trampoline(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args bound;
    if (!bound.bind(F.qualname, F.params.data(), F.nparams(), args, nargs, kwnames)) {
      return nullptr;
    }
    return F.impl(module, bound);
  });
}

// The PyMethodDef of a declared module function; `doc` starts with its text
// signature.
template <const Function& F>
constexpr PyMethodDef function_def(const char* name, const char* doc) {
  return PyMethodDef{
      name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_trampoline<F>)),
      METH_FASTCALL | METH_KEYWORDS, doc};
}

// ---------------------------------------------------------------- slots

// tp_new for a class whose constructor takes no arguments.
template <class T>
PyObject* new_object(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const std::string qualname = std::string(_PyType_Name(type_object<T>())) + ".__new__()";
    Args bound;
    if (!bound.bind_tuple(qualname.c_str(), nullptr, 0, args, kwargs)) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* w = reinterpret_cast<Wrapped<T>*>(obj);
    w->flag = AccessFlag{};
    try {
      new (&w->native) T();
    } catch (...) {
      // tp_dealloc must not destroy a native object that was never built.
      Py_TYPE(obj)->tp_free(obj);
      Py_DECREF(type);
      throw;
    }
    return obj;
  });
}

template <class T>
void dealloc_object(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<Wrapped<T>*>(obj)->native.~T();
  type->tp_free(obj);
  Py_DECREF(type);
}

// A slot implementation taking the object shared: F(T&) -> new reference.
template <class T, PyObject* (*F)(T&)>
PyObject* shared_slot(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* w = reinterpret_cast<Wrapped<T>*>(self);
    AccessGuard guard;
    if (!guard.take(w->flag, Access::kShared)) return nullptr;
    return F(w->native);
  });
}

template <class T, PyObject* (*F)(T&)>
PyObject* getter_slot(PyObject* self, void*) {
  return shared_slot<T, F>(self);
}

// mp_length: F(T&) -> length; -1 with an exception set on failure.
template <class T, Py_ssize_t (*F)(T&)>
Py_ssize_t length_slot(PyObject* self) {
  try {
    auto* w = reinterpret_cast<Wrapped<T>*>(self);
    AccessGuard guard;
    if (!guard.take(w->flag, Access::kShared)) return -1;
    return F(w->native);
  } catch (...) {
    raise_from_current_exception();
    return -1;
  }
}

// mp_subscript, taking the object shared.
template <class T, PyObject* (*F)(T&, PyObject*)>
PyObject* subscript_slot(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    auto* w = reinterpret_cast<Wrapped<T>*>(self);
    AccessGuard guard;
    if (!guard.take(w->flag, Access::kShared)) return nullptr;
    return F(w->native, key);
  });
}

// sq_item: the position as a Python int, handed to the subscript.
template <class T, PyObject* (*F)(T&, PyObject*)>
PyObject* item_slot(PyObject* self, Py_ssize_t index) {
  PyObject* key = PyLong_FromSsize_t(index);
  if (key == nullptr) return nullptr;
  PyObject* result = subscript_slot<T, F>(self, key);
  Py_DECREF(key);
  return result;
}

// ---------------------------------------------------------------- classes

// What the module needs to register one class.
struct ClassDef {
  const char* name;  // also the __qualname__; the module is "builtins"
  PyType_Spec* spec;
  PyTypeObject** slot;  // where the created type is kept
};

// The type flags of every class: without Py_TPFLAGS_BASETYPE it cannot be
// subclassed, and its attributes cannot be set.
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

}  // namespace tidemark::py
