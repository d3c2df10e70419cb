#include "enrichment.h"

#include <string>

#include "message_dict.h"

namespace tidemark::py {

namespace {

// A str of contract text. The loader only stores valid UTF-8, so decoding cannot fail for
// any reason but memory.
PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace

uint32_t coerce_token(PyObject* value) {
  PyObject* number;
  if (PyLong_Check(value)) {
    Py_INCREF(value);
    number = value;
  } else if (PyIndex_Check(value)) {
    number = PyNumber_Index(value);
    if (number == nullptr) {
      PyErr_Clear();
      return 0;
    }
  } else {
    return 0;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
  Py_DECREF(number);
  if (overflow != 0) return 0;
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  if (v >= 0 && v <= static_cast<long long>(UINT32_MAX)) return static_cast<uint32_t>(v);
  if (v < 0 && v >= INT32_MIN) return static_cast<uint32_t>(v);  // its 32-bit pattern
  return 0;
}

namespace {

// Makes the six values of `info` in key order. Returns false with an
// exception set, after releasing what was made.
bool make_values(const ContractInfo& info, std::array<PyObject*, 6>& out) {
  out = {text(info.symbol), PyLong_FromLongLong(info.strike),       text(info.option_type),
         text(info.expiry), PyLong_FromUnsignedLong(info.lot_size), text(info.name)};
  for (PyObject* v : out) {
    if (v == nullptr) {
      for (PyObject*& w : out) Py_CLEAR(w);
      return false;
    }
  }
  return true;
}

// Writes the six keys from ready values (borrowed). A plain dict is written
// directly; a dict subclass is written through its own __setitem__, so that a
// subclass that keeps its own bookkeeping beside the dict's storage (an
// OrderedDict's key order, a subclass that logs or validates) sees every key.
bool put_values(PyObject* dict, const std::array<PyObject*, 6>& values) {
  const MessageKeys& k = message_keys();
  PyObject* const keys[6] = {k.token_symbol, k.strike_price, k.option_type,
                             k.expiry,       k.lot_size,     k.name};
  const bool exact = PyDict_CheckExact(dict);
  for (int i = 0; i < 6; ++i) {
    const int rc = exact ? PyDict_SetItem(dict, keys[i], values[i])
                         : PyObject_SetItem(dict, keys[i], values[i]);
    if (rc < 0) return false;
  }
  return true;
}

}  // namespace

bool apply_enrichment(PyObject* dict, const ContractInfo& info) {
  std::array<PyObject*, 6> values;
  if (!make_values(info, values)) return false;
  const bool ok = put_values(dict, values);
  for (PyObject* v : values) Py_DECREF(v);
  return ok;
}

void EnrichmentValues::reset(std::size_t records) {
  clear();
  values_.assign(records, {});
}

void EnrichmentValues::clear() {
  for (auto& values : values_) {
    for (PyObject*& v : values) Py_CLEAR(v);
  }
  values_.clear();
}

bool EnrichmentValues::apply(PyObject* dict, std::size_t position, const ContractInfo& info) {
  if (position >= values_.size()) return apply_enrichment(dict, info);
  std::array<PyObject*, 6>& values = values_[position];
  if (values[0] == nullptr && !make_values(info, values)) return false;
  return put_values(dict, values);
}

}  // namespace tidemark::py
