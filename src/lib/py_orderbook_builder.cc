// Python binding of OrderbookBuilder: the intake methods that feed its
// BookSet and the queries that read it.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "classes.h"
#include "message_cache.h"
#include "message_dict.h"
#include "orderbook.h"
#include "py_streaming_loader.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------- intake

// Returns true when `obj` is a collections.abc.Sequence (list and tuple
// directly; sets, dicts and str's cousins by the abstract class), false
// when not, -1 with an exception set when the check failed.
int is_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return 1;
  static PyObject* sequence_abc = nullptr;
  if (sequence_abc == nullptr) {
    PyObject* abc = PyImport_ImportModule("collections.abc");
    if (abc == nullptr) return -1;
    sequence_abc = PyObject_GetAttrString(abc, "Sequence");
    Py_DECREF(abc);
    if (sequence_abc == nullptr) return -1;
  }
  return PyObject_IsInstance(obj, sequence_abc);
}

// Reads the type filter argument: the first UTF-8 byte of every non-empty
// str of a sequence. Returns false with the exception set (not yet named).
bool extract_type_filter(PyObject* obj, std::vector<uint8_t>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  const int seq = is_sequence(obj);
  if (seq < 0) return false;
  if (seq == 0) {
    raise_cannot_convert(obj, "Sequence");
    return false;
  }
  PyObject* it = PyObject_GetIter(obj);
  if (it == nullptr) return false;
  PyObject* item;
  while ((item = PyIter_Next(it)) != nullptr) {
    std::string_view text;
    const bool ok = extract(item, text);
    if (ok && !text.empty()) out.push_back(static_cast<uint8_t>(text[0]));
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

PyObject* apply_filter(BookSet& self, const Args& args) {
  if (args.absent(0)) {
    self.set_type_filter(std::nullopt);
    Py_RETURN_NONE;
  }
  std::vector<uint8_t> filter;
  if (!extract_type_filter(args[0], filter)) {
    prefix_argument_error("logic_criteria");
    return nullptr;
  }
  self.set_type_filter(std::move(filter));
  Py_RETURN_NONE;
}

PyObject* orderbook_add_msg(BookSet& self, const Args& args) {
  PyObject* msg = args[0];
  if (!PyDict_Check(msg)) {
    return raise_type("orderbook_add_msg expects one message dict from get_next_msg()");
  }
  FeedMessage message;
  if (!parse_message_dict(msg, message)) return nullptr;
  return PyBool_FromLong(self.apply_message(message));
}

// Applies every message of a cache, which is held shared meanwhile.
PyObject* apply_cache(BookSet& self, PyObject* source) {
  Borrowed<MessageCache> cache;
  if (!cache.take(source, "MessageCacheReader", Access::kShared)) return nullptr;
  const std::shared_ptr<const FeedMessageArray> messages = cache->messages();
  return PyLong_FromSize_t(self.apply_messages(messages->data(), messages->size()));
}

PyObject* build_from_list(BookSet& self, const Args& args) {
  PyObject* source = args[0];
  if (as_wrapped<MessageCache>(source) != nullptr) return apply_cache(self, source);
  if (!PyList_Check(source)) {
    return raise_type("build_from_list expects MessageCacheReader or list[dict] decoded messages");
  }
  const Py_ssize_t initial = PyList_GET_SIZE(source);
  uint64_t accepted = 0;
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(source); ++i) {
    // A strong reference: converting a value may run Python code that
    // changes the list and would otherwise free the entry.
    PyObject* entry = Py_NewRef(PyList_GET_ITEM(source, i));
    if (!PyDict_Check(entry)) {
      Py_DECREF(entry);
      return raise_type("each list entry must be a dict");
    }
    FeedMessage message;
    const bool ok = parse_message_dict(entry, message);
    Py_DECREF(entry);
    if (!ok) return nullptr;
    accepted += self.apply_message(message);
  }
  return PyLong_FromUnsignedLongLong(accepted);
}

// Applies the loader's messages from its cursor on, until its end or until
// `limit` messages were accepted, and returns how many were; a read error
// is returned after the messages before it were applied. Nothing here
// touches a Python object.
//
// Messages are read in batches and applied together, which lets the books
// prefetch what the next messages touch. The last kLookAhead messages of a
// batch are held back and applied at the front of the next one, so the
// look-ahead runs on across batches. While the books apply one batch, a
// thread of its own reads the next one into the other buffer. Reading never
// goes past the limit: a batch asks for at most as many messages as could
// still be accepted with all those read and not yet applied, so reading
// stops exactly after the message that reaches it.
Result<uint64_t> apply_loader(BookSet& self, StreamingLoader& loader,
                              std::optional<uint64_t> limit) {
  constexpr std::size_t kBatch = 4096;
  constexpr std::size_t kCarry = BookSet::kLookAhead;
  // How many messages the next batch may ask for with `pending` read and
  // not applied yet.
  uint64_t accepted = 0;
  auto room = [&](std::size_t pending) -> std::size_t {
    if (!limit || *limit - accepted - pending >= kBatch) return kBatch;
    return static_cast<std::size_t>(*limit - accepted - pending);
  };
  // Each buffer keeps kCarry slots in front of its batch for the messages
  // held back from the batch before.
  std::vector<FeedMessage> buffers[2] = {std::vector<FeedMessage>(kCarry + kBatch),
                                         std::vector<FeedMessage>(kCarry + kBatch)};
  ReadAhead ahead(loader);  // declared after the buffers: joined before they go
  bool reading = false;     // the thread is reading into buffers[current]
  std::size_t current = 0;
  std::size_t carried = 0;
  std::string error;
  for (;;) {
    FeedMessage* batch = buffers[current].data() + kCarry;
    ReadStep step = ReadStep::kMessage;
    std::size_t n = 0;
    if (reading) {
      n = ahead.finish(step, error);
      reading = false;
    } else if (const std::size_t want = room(carried); want != 0) {
      n = loader.next_messages(batch, want, step, error);
    }
    FeedMessage* first = batch - carried;
    const std::size_t total = carried + n;
    // At the end, at an error, and when the limit may be reached, apply all.
    const bool drain = step != ReadStep::kMessage || (limit && *limit - accepted <= total);
    const std::size_t now = drain ? total : total - std::min(total, kCarry);
    FeedMessage* next = buffers[1 - current].data() + kCarry;
    if (!drain) reading = ahead.start(next, room(total));
    accepted += self.apply_messages_ahead(first, now, total);
    carried = total - now;
    std::copy(first + now, first + total, next - carried);
    current = 1 - current;
    if (step == ReadStep::kError) return Status::error(error);
    if (step == ReadStep::kEnd || (limit && accepted >= *limit)) return accepted;
  }
}

PyObject* build_from_source(BookSet& self, const Args& args) {
  std::optional<uint64_t> limit;
  if (!args.get(1, limit)) return nullptr;
  PyObject* source = args[0];
  if (as_wrapped<MessageCache>(source) != nullptr) return apply_cache(self, source);
  if (as_wrapped<LoaderState>(source) == nullptr) {
    return raise_type("build_from_source expects MessageCacheReader or StreamingBinaryLoader");
  }
  Borrowed<LoaderState> loader;
  if (!loader.take(source, kStreamingBinaryLoaderName, Access::kExclusive)) return nullptr;
  if (limit && *limit == 0) return PyLong_FromUnsignedLongLong(0);
  const Result<uint64_t> accepted = apply_loader(self, loader->core, limit);
  if (!accepted.ok()) return raise_runtime(accepted.error_text());
  return PyLong_FromUnsignedLongLong(accepted.value());
}

// ---------------------------------------------------------------- queries

// Returns a new (price, quantity) tuple.
PyObject* level_tuple(const DepthLevel& level) {
  PyObject* t = PyTuple_New(2);
  if (t == nullptr) return nullptr;
  PyObject* price = PyLong_FromUnsignedLong(level.price);
  PyObject* qty = PyLong_FromUnsignedLongLong(level.quantity);
  if (price) PyTuple_SET_ITEM(t, 0, price);
  if (qty) PyTuple_SET_ITEM(t, 1, qty);
  if (!price || !qty) {
    Py_DECREF(t);
    return nullptr;
  }
  return t;
}

// Returns a new list of level tuples.
PyObject* level_list(const std::vector<DepthLevel>& levels) {
  return new_list(levels, level_tuple);
}

// Builds the snapshot or depth dict of `view` (nullptr view: no book);
// `with_mid` adds "mid_price" after "found".
PyObject* depth_dict(uint32_t token, const DepthView* view, bool with_mid) {
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  auto put = [d](const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(d, key, value);
    Py_DECREF(value);
    return rc == 0;
  };
  const bool bid = view && !view->bids.empty();
  const bool ask = view && !view->asks.empty();
  // A crossed book (ask below bid) reports a spread of 0.
  auto spread = [&]() -> PyObject* {
    if (!bid || !ask) return Py_NewRef(Py_None);
    const uint32_t b = view->bids[0].price, a = view->asks[0].price;
    return PyLong_FromUnsignedLong(a >= b ? a - b : 0);
  };
  static const std::vector<DepthLevel> kNone;
  const bool ok =
      put("token", PyLong_FromUnsignedLong(token)) &&
      put("found", PyBool_FromLong(view != nullptr)) &&
      (!with_mid || put("mid_price", PyLong_FromUnsignedLong(view ? view->mid_price : 0))) &&
      put("best_bid", bid ? level_tuple(view->bids[0]) : Py_NewRef(Py_None)) &&
      put("best_ask", ask ? level_tuple(view->asks[0]) : Py_NewRef(Py_None)) &&
      put("spread", spread()) && put("bids", level_list(view ? view->bids : kNone)) &&
      put("asks", level_list(view ? view->asks : kNone));
  if (!ok) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

constexpr uint64_t kDefaultLevels = 5;

PyObject* get_active_tokens(BookSet& self, const Args&) {
  return new_list(self.sorted_tokens(),
                  [](uint32_t token) { return PyLong_FromUnsignedLong(token); });
}

PyObject* get_full_depth(BookSet& self, const Args& args) {
  uint32_t token = 0;
  if (!args.get(0, token)) return nullptr;
  const std::optional<DepthView> view = self.collect_full_depth(token);
  return depth_dict(token, view ? &*view : nullptr, false);
}

PyObject* get_snapshot(BookSet& self, const Args& args) {
  uint32_t token = 0;
  uint64_t levels = kDefaultLevels;
  if (!args.get(0, token) || !args.get(1, levels)) return nullptr;
  const std::optional<DepthView> view = self.collect_depth(token, levels);
  return depth_dict(token, view ? &*view : nullptr, true);
}

constexpr char kSnapshotHeaderText[] =
    "local_ts,exch_ts,mid_price,bid_price_0,bid_qty_0,ask_price_0,ask_qty_0,bid_price_1,"
    "bid_qty_1,ask_price_1,ask_qty_1,bid_price_2,bid_qty_2,ask_price_2,ask_qty_2,bid_price_3,"
    "bid_qty_3,ask_price_3,ask_qty_3,bid_price_4,bid_qty_4,ask_price_4,ask_qty_4";

PyObject* snapshot_header(BookSet&, const Args&) {
  return PyUnicode_FromStringAndSize(kSnapshotHeaderText, sizeof kSnapshotHeaderText - 1);
}

PyObject* get_snapshot_row(BookSet& self, const Args& args) {
  uint32_t token = 0;
  uint64_t levels = kDefaultLevels;
  if (!args.get(0, token) || !args.get(1, levels)) return nullptr;
  char row[kSnapshotRowMaxSize];
  const std::size_t len = self.write_snapshot_row(token, levels, row);
  return PyUnicode_FromStringAndSize(row, static_cast<Py_ssize_t>(len));
}

// ---------------------------------------------------------------- class

constexpr Method<BookSet> kApplyFilter{"OrderbookBuilder.apply_filter()",
                                       Access::kExclusive,
                                       apply_filter,
                                       {{{"logic_criteria", false}}}};
constexpr Method<BookSet> kOrderbookAddMsg{"OrderbookBuilder.orderbook_add_msg()",
                                           Access::kExclusive,
                                           orderbook_add_msg,
                                           {{{"msg", true}}}};
constexpr Method<BookSet> kBuildFromList{"OrderbookBuilder.build_from_list()",
                                         Access::kExclusive,
                                         build_from_list,
                                         {{{"source", true}}}};
constexpr Method<BookSet> kBuildFromSource{"OrderbookBuilder.build_from_source()",
                                           Access::kExclusive,
                                           build_from_source,
                                           {{{"source", true}, {"limit", false}}}};
constexpr Method<BookSet> kGetActiveTokens{
    "OrderbookBuilder.get_active_tokens()", Access::kShared, get_active_tokens, {}};
constexpr Method<BookSet> kGetFullDepth{
    "OrderbookBuilder.get_full_depth()", Access::kShared, get_full_depth, {{{"token", true}}}};
constexpr Method<BookSet> kGetSnapshot{"OrderbookBuilder.get_snapshot()",
                                       Access::kShared,
                                       get_snapshot,
                                       {{{"token", true}, {"levels", false}}}};
constexpr Method<BookSet> kSnapshotHeader{
    "OrderbookBuilder.snapshot_header()", Access::kShared, snapshot_header, {}};
constexpr Method<BookSet> kGetSnapshotRow{"OrderbookBuilder.get_snapshot_row()",
                                          Access::kShared,
                                          get_snapshot_row,
                                          {{{"token", true}, {"levels", false}}}};

PyMethodDef methods[] = {
    method_def<BookSet, kApplyFilter>("apply_filter",
                                      "apply_filter($self, logic_criteria=None)\n--\n\n"),
    method_def<BookSet, kOrderbookAddMsg>(
        "orderbook_add_msg",
        "orderbook_add_msg($self, msg)\n--\n\n"
        "Push one already-decoded message into the orderbook.\n\n"
        "The caller should read one message first by calling:\n"
        "    msg = reader.get_next_msg()\n\n"
        "Then pass that message here:\n"
        "    builder.orderbook_add_msg(msg)\n\n"
        "Returns:\n"
        "- Ok(true)  => message was accepted and applied to the orderbook\n"
        "- Ok(false) => message was valid but skipped by apply_filter() or business rules"),
    method_def<BookSet, kBuildFromList>("build_from_list",
                                        "build_from_list($self, source)\n--\n\n"),
    method_def<BookSet, kBuildFromSource>("build_from_source",
                                          "build_from_source($self, source, limit=None)\n--\n\n"),
    method_def<BookSet, kGetActiveTokens>("get_active_tokens", "get_active_tokens($self)\n--\n\n"),
    method_def<BookSet, kGetFullDepth>("get_full_depth", "get_full_depth($self, token)\n--\n\n"),
    method_def<BookSet, kGetSnapshot>("get_snapshot",
                                      "get_snapshot($self, token, levels=None)\n--\n\n"),
    method_def<BookSet, kSnapshotHeader>("snapshot_header", "snapshot_header($self)\n--\n\n"),
    method_def<BookSet, kGetSnapshotRow>("get_snapshot_row",
                                         "get_snapshot_row($self, token, levels=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<BookSet>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<BookSet>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("OrderbookBuilder()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.OrderbookBuilder", sizeof(Wrapped<BookSet>), 0, kClassFlags, slots};

}  // namespace

const ClassDef kOrderbookBuilderClass{"OrderbookBuilder", &spec, &type_object<BookSet>()};

}  // namespace tidemark::py
