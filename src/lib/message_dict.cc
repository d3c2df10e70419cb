#include "message_dict.h"

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

}  // namespace tidemark::py
