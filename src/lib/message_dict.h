// The Python dict form of a decoded message: sixteen keys in a fixed order,
// the integers exactly as recorded, type bytes as one Latin-1 character and
// None in the three contract fields that enrichment fills later.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "feed_message.h"

namespace tidemark::py {

// Interned key strings, shared by every dict the module builds and reads.
struct MessageKeys {
  PyObject* message_kind;
  PyObject* seq_no;
  PyObject* msg_len;
  PyObject* stream_id;
  PyObject* msg_type;
  PyObject* exch_ts;
  PyObject* local_ts;
  PyObject* order_id;
  PyObject* buy_order_id;
  PyObject* sell_order_id;
  PyObject* token;
  PyObject* order_type;
  PyObject* price;
  PyObject* quantity;
  PyObject* trade_price;
  PyObject* trade_quantity;
  PyObject* flags;
  PyObject* token_symbol;
  PyObject* strike_price;
  PyObject* option_type;
  PyObject* expiry;
  PyObject* lot_size;
  PyObject* name;
  PyObject* order;  // the value "order" of "message_kind"
  PyObject* trade;  // the value "trade"
};

// Creates the interned keys once per process. Returns 0, or -1 with an
// exception set.
int init_message_keys();
// The keys; valid after init_message_keys() succeeded.
const MessageKeys& message_keys();

// Returns a new dict for `message`, or nullptr with the interpreter's error.
PyObject* message_to_dict(const FeedMessage& message);

// Reads a message dict (built by message_to_dict or by hand) back into a
// FeedMessage; the record header fields other than msg_type become 0.
// Returns true, or false with the TypeError or OverflowError set.
bool parse_message_dict(PyObject* dict, FeedMessage& out);

}  // namespace tidemark::py
