#include "binding.h"

#include <exception>
#include <new>
#include <string>
#include <vector>

namespace tidemark::py {

// ---------------------------------------------------------------- access

bool acquire(AccessFlag& flag, Access access) {
  if (access == Access::kExclusive) {
    if (flag.state != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    flag.state = -1;
    return true;
  }
  if (flag.state < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
  }
  ++flag.state;
  return true;
}

void release(AccessFlag& flag, Access access) {
  if (access == Access::kExclusive) {
    flag.state = 0;
  } else if (flag.state > 0) {
    --flag.state;
  }
}

// ---------------------------------------------------------------- errors

namespace {

// Sets `type` with the whole of `text`. Unlike PyErr_SetString it keeps a NUL
// character inside the text (a path given with one is quoted in full), and it
// never fails on bytes that are not UTF-8.
PyObject* raise_text(PyObject* type, const std::string& text) {
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

}  // namespace

PyObject* raise_runtime(const std::string& text) { return raise_text(PyExc_RuntimeError, text); }

PyObject* raise_type(const std::string& text) { return raise_text(PyExc_TypeError, text); }

void raise_internal_fault(const char* text) {
  // Created on first need and kept for the life of the process; it derives
  // from BaseException so that a plain `except Exception` does not swallow
  // a fault of the native code.
  static PyObject* fault = nullptr;
  if (fault == nullptr) {
    fault = PyErr_NewExceptionWithDoc("tidemark.InternalFault",
                                      "A fault inside tidemark's native code.", PyExc_BaseException,
                                      nullptr);
    if (fault == nullptr) return;
  }
  PyErr_SetString(fault, text);
}

void raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unknown native exception");
  }
}

void prefix_argument_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* cause = value ? PyException_GetCause(value) : nullptr;
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  if (text == nullptr) {
    Py_XDECREF(cause);
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
  Py_DECREF(text);
  if (cause != nullptr) {
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyException_SetCause(v2, cause);  // steals cause
    PyErr_Restore(t2, v2, tb2);
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
}

int claim_interpreter(int64_t& owner, const char* module) {
  const int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interp < 0) return -1;
  if (owner == -1) {
    owner = interp;
  } else if (owner != interp) {
    PyErr_Format(PyExc_ImportError, "%s can be imported in only one interpreter per process",
                 module);
    return -1;
  }
  return 0;
}

void raise_int_overflow() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

void raise_cannot_convert(PyObject* obj, const char* expected) {
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, expected);
  Py_DECREF(name);
}

// ---------------------------------------------------------------- converters

bool extract(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool extract(PyObject* obj, std::string& out) {
  std::string_view view;
  if (!extract(obj, view)) return false;
  out.assign(view);
  return true;
}

namespace {

// NumPy's bool scalars are recognised by their type's name and module, so
// the module never imports NumPy.
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  if (!numpy) return false;
  const char* name = _PyType_Name(type);
  return std::string_view(name) == "bool_" || std::string_view(name) == "bool";
}

}  // namespace

bool extract(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_cannot_convert(obj, "PyBool");
  return false;
}

bool extract_int64(PyObject* obj, int64_t& out) {
  PyObject* num = PyNumber_Index(obj);
  if (num == nullptr) return false;
  const long long v = PyLong_AsLongLong(num);
  Py_DECREF(num);
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool extract_uint64(PyObject* obj, uint64_t& out) {
  PyObject* num = PyNumber_Index(obj);
  if (num == nullptr) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(num);
  Py_DECREF(num);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool extract_narrow(PyObject* obj, long min, long max, long& out) {
  PyObject* num = PyNumber_Index(obj);
  if (num == nullptr) return false;
  const long v = PyLong_AsLong(num);
  Py_DECREF(num);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < min || v > max) {
    raise_int_overflow();
    return false;
  }
  out = v;
  return true;
}

// ---------------------------------------------------------------- binding

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  const std::size_t n = names.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) out += ',';
      out += i == n - 1 ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

bool Args::bind_positional(const char* qualname, const Param* params, std::size_t nparams,
                           PyObject* const* args, Py_ssize_t nargs) {
  params_ = params;
  nparams_ = nparams;
  if (static_cast<std::size_t>(nargs) > nparams) {
    std::size_t required = 0;
    for (std::size_t i = 0; i < nparams; ++i) required += params[i].required ? 1 : 0;
    const char* was = nargs == 1 ? "was" : "were";
    if (required != nparams) {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zd %s given", qualname,
                   required, nparams, nargs, was);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", qualname,
                   nparams, nargs, was);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
  return true;
}

bool Args::bind(const char* qualname, const Param* params, std::size_t nparams,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!bind_positional(qualname, params, nparams, args, nargs)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!assign_keyword(qualname, PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
    }
  }
  return finish(qualname, nargs);
}

bool Args::bind_tuple(const char* qualname, const Param* params, std::size_t nparams,
                      PyObject* tuple, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(tuple);
  if (!bind_positional(qualname, params, nparams, &PyTuple_GET_ITEM(tuple, 0), nargs)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!assign_keyword(qualname, key, value)) return false;
    }
  }
  return finish(qualname, nargs);
}

bool Args::assign_keyword(const char* qualname, PyObject* key, PyObject* value) {
  if (PyUnicode_Check(key)) {
    for (std::size_t i = 0; i < nparams_; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, params_[i].name) == 0) {
        if (values_[i] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", qualname,
                       params_[i].name);
          return false;
        }
        values_[i] = value;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", qualname, key);
  return false;
}

bool Args::finish(const char* qualname, Py_ssize_t nargs) {
  std::vector<const char*> missing;
  for (std::size_t i = static_cast<std::size_t>(nargs); i < nparams_; ++i) {
    if (params_[i].required && values_[i] == nullptr) missing.push_back(params_[i].name);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", qualname,
               missing.size(), missing.size() == 1 ? "argument" : "arguments",
               quoted_list(missing).c_str());
  return false;
}

}  // namespace tidemark::py
