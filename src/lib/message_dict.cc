#include "message_dict.h"

#include "binding.h"

namespace tidemark::py {

namespace {

MessageKeys g_keys;
bool g_keys_ready = false;

// Sets `key` in `dict`, stealing the reference to `value`. Returns false
// with an exception set when the value could not be made or stored.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

inline PyObject* new_ref(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}

// The one-character str whose code point is the byte (Latin-1).
inline PyObject* char_of(uint8_t byte) { return PyUnicode_FromOrdinal(byte); }

}  // namespace

int init_message_keys() {
  if (g_keys_ready) return 0;
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&g_keys.message_kind, "message_kind"},
      {&g_keys.seq_no, "seq_no"},
      {&g_keys.msg_len, "msg_len"},
      {&g_keys.stream_id, "stream_id"},
      {&g_keys.msg_type, "msg_type"},
      {&g_keys.exch_ts, "exch_ts"},
      {&g_keys.local_ts, "local_ts"},
      {&g_keys.order_id, "order_id"},
      {&g_keys.buy_order_id, "buy_order_id"},
      {&g_keys.sell_order_id, "sell_order_id"},
      {&g_keys.token, "token"},
      {&g_keys.order_type, "order_type"},
      {&g_keys.price, "price"},
      {&g_keys.quantity, "quantity"},
      {&g_keys.trade_price, "trade_price"},
      {&g_keys.trade_quantity, "trade_quantity"},
      {&g_keys.flags, "flags"},
      {&g_keys.token_symbol, "token_symbol"},
      {&g_keys.strike_price, "strike_price"},
      {&g_keys.option_type, "option_type"},
      {&g_keys.expiry, "expiry"},
      {&g_keys.lot_size, "lot_size"},
      {&g_keys.name, "name"},
      {&g_keys.order, "order"},
      {&g_keys.trade, "trade"},
  };
  for (const Entry& e : entries) {
    // Kept for the life of the process, like the module's type objects.
    *e.slot = PyUnicode_InternFromString(e.text);
    if (*e.slot == nullptr) return -1;
  }
  g_keys_ready = true;
  return 0;
}

const MessageKeys& message_keys() { return g_keys; }

PyObject* message_to_dict(const FeedMessage& message) {
  const MessageKeys& k = g_keys;
  PyObject* d = _PyDict_NewPresized(19);
  if (d == nullptr) return nullptr;
  const RecordHeader& h = message.header;
  bool ok;
  if (message.is_order()) {
    const OrderMessage& m = message.order;
    ok = put(d, k.message_kind, new_ref(k.order)) &&
         put(d, k.seq_no, PyLong_FromUnsignedLong(h.seq_no)) &&
         put(d, k.msg_len, PyLong_FromLong(h.msg_len)) &&
         put(d, k.stream_id, PyLong_FromLong(h.stream_id)) &&
         put(d, k.msg_type, char_of(h.msg_type)) &&
         put(d, k.exch_ts, PyLong_FromUnsignedLongLong(m.exch_ts)) &&
         put(d, k.local_ts, PyLong_FromUnsignedLongLong(m.local_ts)) &&
         put(d, k.order_id, PyLong_FromUnsignedLongLong(m.order_id)) &&
         put(d, k.token, PyLong_FromUnsignedLong(m.token)) &&
         put(d, k.order_type, char_of(m.order_type)) &&
         put(d, k.price, PyLong_FromUnsignedLong(m.price)) &&
         put(d, k.quantity, PyLong_FromUnsignedLong(m.quantity)) &&
         put(d, k.flags, PyBool_FromLong(m.flags != 0));
  } else {
    const TradeMessage& m = message.trade;
    ok = put(d, k.message_kind, new_ref(k.trade)) &&
         put(d, k.seq_no, PyLong_FromUnsignedLong(h.seq_no)) &&
         put(d, k.msg_len, PyLong_FromLong(h.msg_len)) &&
         put(d, k.stream_id, PyLong_FromLong(h.stream_id)) &&
         put(d, k.msg_type, char_of(h.msg_type)) &&
         put(d, k.exch_ts, PyLong_FromUnsignedLongLong(m.exch_ts)) &&
         put(d, k.local_ts, PyLong_FromUnsignedLongLong(m.local_ts)) &&
         put(d, k.buy_order_id, PyLong_FromUnsignedLongLong(m.buy_order_id)) &&
         put(d, k.sell_order_id, PyLong_FromUnsignedLongLong(m.sell_order_id)) &&
         put(d, k.token, PyLong_FromLong(m.token)) &&
         put(d, k.trade_price, PyLong_FromLong(m.trade_price)) &&
         put(d, k.trade_quantity, PyLong_FromLong(m.trade_quantity)) &&
         put(d, k.flags, PyBool_FromLong(m.flags != 0));
  }
  ok = ok && put(d, k.token_symbol, new_ref(Py_None)) && put(d, k.strike_price, new_ref(Py_None)) &&
       put(d, k.option_type, new_ref(Py_None));
  if (!ok) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

namespace {

// The outcome of looking one key up: a strong reference to the value, so
// that a conversion running Python code (an __index__ that changes the
// dict) cannot free it under us.
class KeyValue {
 public:
  ~KeyValue() { Py_XDECREF(value_); }
  // Returns false with an exception set when the lookup itself failed.
  bool lookup(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr && PyErr_Occurred()) return false;
    Py_XINCREF(v);
    value_ = v;
    return true;
  }
  PyObject* get() const { return value_; }

 private:
  PyObject* value_ = nullptr;
};

// Reads a required or optional field. A missing required key raises
// "missing key: {name}"; a missing optional key leaves `out` unchanged.
template <class V>
bool read_field(PyObject* dict, PyObject* key, bool required, V& out) {
  KeyValue v;
  if (!v.lookup(dict, key)) return false;
  if (v.get() == nullptr) {
    if (required) PyErr_Format(PyExc_TypeError, "missing key: %U", key);
    return !required;
  }
  return extract(v.get(), out);
}

// A type byte: the first UTF-8 byte of a non-empty str, else an int from 0
// to 255. `what` names the key in the empty-str message.
bool read_type_byte(PyObject* dict, PyObject* key, const char* what, uint8_t& out) {
  KeyValue v;
  if (!v.lookup(dict, key)) return false;
  if (v.get() == nullptr) {
    PyErr_Format(PyExc_TypeError, "missing key: %U", key);
    return false;
  }
  if (PyUnicode_Check(v.get())) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(v.get(), &size);
    if (utf8 == nullptr) return false;
    if (size == 0) {
      PyErr_Format(PyExc_TypeError, "%s cannot be empty", what);
      return false;
    }
    out = static_cast<uint8_t>(utf8[0]);
    return true;
  }
  return extract(v.get(), out);
}

}  // namespace

bool parse_message_dict(PyObject* dict, FeedMessage& out) {
  const MessageKeys& k = g_keys;
  uint8_t type;
  if (!read_type_byte(dict, k.msg_type, "msg_type", type)) return false;
  FeedMessage m;
  m.header.msg_type = type;
  // Fields are read into locals: the packed record members cannot be bound
  // to references.
  uint64_t exch_ts = 0, local_ts = 0;
  bool flags = false;
  switch (record_kind(type)) {
    case RecordKind::kOrder: {
      uint64_t order_id;
      uint32_t token, price, quantity;
      uint8_t order_type;
      if (!read_field(dict, k.exch_ts, false, exch_ts) ||
          !read_field(dict, k.order_id, true, order_id) ||
          !read_field(dict, k.token, true, token) ||
          !read_type_byte(dict, k.order_type, "order_type", order_type) ||
          !read_field(dict, k.price, true, price) ||
          !read_field(dict, k.quantity, true, quantity) ||
          !read_field(dict, k.local_ts, false, local_ts) ||
          !read_field(dict, k.flags, false, flags)) {
        return false;
      }
      OrderMessage& o = m.order;
      o.exch_ts = exch_ts;
      o.order_id = order_id;
      o.token = token;
      o.order_type = order_type;
      o.price = price;
      o.quantity = quantity;
      o.local_ts = local_ts;
      o.flags = flags;
      break;
    }
    case RecordKind::kTrade: {
      uint64_t buy_order_id, sell_order_id;
      int32_t token, trade_quantity, trade_price = 0;
      if (!read_field(dict, k.exch_ts, false, exch_ts) ||
          !read_field(dict, k.buy_order_id, true, buy_order_id) ||
          !read_field(dict, k.sell_order_id, true, sell_order_id) ||
          !read_field(dict, k.token, true, token) ||
          !read_field(dict, k.trade_price, false, trade_price) ||
          !read_field(dict, k.trade_quantity, true, trade_quantity) ||
          !read_field(dict, k.local_ts, false, local_ts) ||
          !read_field(dict, k.flags, false, flags)) {
        return false;
      }
      TradeMessage& t = m.trade;
      t.exch_ts = exch_ts;
      t.buy_order_id = buy_order_id;
      t.sell_order_id = sell_order_id;
      t.token = token;
      t.trade_price = trade_price;
      t.trade_quantity = trade_quantity;
      t.local_ts = local_ts;
      t.flags = flags;
      break;
    }
    case RecordKind::kUnknown:
      PyErr_Format(PyExc_TypeError, "unsupported msg_type: %c", static_cast<int>(type));
      return false;
  }
  out = m;
  return true;
}

}  // namespace tidemark::py
