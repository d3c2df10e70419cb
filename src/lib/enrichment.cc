#include "enrichment.h"

#include <string>

#include "message_dict.h"

namespace tidemark::py {

namespace {

// Sets `key` in `dict`, stealing the reference to `value`. Returns false with an exception set
// when the value could not be made or stored.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

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

bool apply_enrichment(PyObject* dict, const ContractInfo& info) {
  const MessageKeys& k = message_keys();
  return put(dict, k.token_symbol, text(info.symbol)) &&
         put(dict, k.strike_price, PyLong_FromLongLong(info.strike)) &&
         put(dict, k.option_type, text(info.option_type)) &&
         put(dict, k.expiry, text(info.expiry)) &&
         put(dict, k.lot_size, PyLong_FromUnsignedLong(info.lot_size)) &&
         put(dict, k.name, text(info.name));
}

}  // namespace tidemark::py
