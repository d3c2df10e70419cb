// Python binding of MessageCacheReader.
#include "binding.h"
#include "classes.h"
#include "message_cache.h"
#include "message_dict.h"

namespace tidemark::py {

namespace {

enum class Filter { kAll, kOrders, kTrades };

// Returns a new list of the dicts of the messages that pass `filter`.
PyObject* message_list(const MessageCache& cache, Filter filter) {
  const FeedMessageArray& messages = *cache.messages();
  Py_ssize_t n = 0;
  if (filter == Filter::kAll) {
    n = static_cast<Py_ssize_t>(messages.size());
  } else {
    for (const FeedMessage& m : messages) n += (m.is_order() == (filter == Filter::kOrders));
  }
  PyObject* list = PyList_New(n);
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const FeedMessage& m : messages) {
    if (filter != Filter::kAll && m.is_order() != (filter == Filter::kOrders)) continue;
    PyObject* d = message_to_dict(m);
    if (d == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i++, d);
  }
  return list;
}

PyObject* load_to_cache(MessageCache& self, const Args& args) {
  std::string path;
  if (!args.get(0, path)) return nullptr;
  if (path.find('\0') != std::string::npos) {
    return raise_runtime("file name contained an unexpected NUL byte");
  }
  auto result = self.load(path);
  if (!result.ok()) return raise_runtime(result.error_text());
  return PyLong_FromUnsignedLongLong(result.value());
}

PyObject* get_all_messages(MessageCache& self, const Args&) {
  return message_list(self, Filter::kAll);
}
PyObject* get_order_message(MessageCache& self, const Args&) {
  return message_list(self, Filter::kOrders);
}
PyObject* get_trade_message(MessageCache& self, const Args&) {
  return message_list(self, Filter::kTrades);
}

PyObject* get_cache_summary(MessageCache& self, const Args&) {
  const FeedMessageArray& messages = *self.messages();
  uint64_t orders = 0;
  for (const FeedMessage& m : messages) orders += m.is_order();
  const uint64_t total = messages.size();
  PyObject* source = self.file_source() ? PyUnicode_FromStringAndSize(self.file_source()->data(),
                                                                      self.file_source()->size())
                                        : Py_NewRef(Py_None);
  if (source == nullptr) return nullptr;
  return Py_BuildValue("{sNsKsKsKsK}", "file_source", source, "total_messages",
                       static_cast<unsigned long long>(total), "total_orders",
                       static_cast<unsigned long long>(orders), "total_trades",
                       static_cast<unsigned long long>(total - orders), "memory_usage_bytes",
                       static_cast<unsigned long long>(total * kTradeRecordSize));
}

PyObject* messages_property(MessageCache& self) { return message_list(self, Filter::kAll); }

Py_ssize_t length(MessageCache& self) { return static_cast<Py_ssize_t>(self.messages()->size()); }

PyObject* get_item(MessageCache& self, PyObject* key) {
  int64_t index;
  if (!extract(key, index)) {
    prefix_argument_error("index");
    return nullptr;
  }
  const FeedMessageArray& messages = *self.messages();
  const int64_t size = static_cast<int64_t>(messages.size());
  if (size == 0) {
    PyErr_SetString(PyExc_IndexError, "message cache is empty");
    return nullptr;
  }
  const int64_t pos = index < 0 ? index + size : index;
  if (pos < 0 || pos >= size) {
    PyErr_Format(PyExc_IndexError, "message index %lld out of range for cache of size %lld",
                 static_cast<long long>(index), static_cast<long long>(size));
    return nullptr;
  }
  return message_to_dict(messages[static_cast<std::size_t>(pos)]);
}

constexpr Method<MessageCache> kLoadToCache{"MessageCacheReader.load_to_cache()",
                                            Access::kExclusive,
                                            load_to_cache,
                                            {{{"file_path", true}}}};
constexpr Method<MessageCache> kGetAllMessages{
    "MessageCacheReader.get_all_messages()", Access::kShared, get_all_messages, {}};
constexpr Method<MessageCache> kGetOrderMessage{
    "MessageCacheReader.get_order_message()", Access::kShared, get_order_message, {}};
constexpr Method<MessageCache> kGetTradeMessage{
    "MessageCacheReader.get_trade_message()", Access::kShared, get_trade_message, {}};
constexpr Method<MessageCache> kGetAllTradeMessage{
    "MessageCacheReader.get_all_trade_message()", Access::kShared, get_trade_message, {}};
constexpr Method<MessageCache> kGetCacheSummary{
    "MessageCacheReader.get_cache_summary()", Access::kShared, get_cache_summary, {}};

PyMethodDef methods[] = {
    method_def<MessageCache, kLoadToCache>("load_to_cache",
                                           "load_to_cache($self, file_path)\n--\n\n"),
    method_def<MessageCache, kGetAllMessages>("get_all_messages",
                                              "get_all_messages($self)\n--\n\n"),
    method_def<MessageCache, kGetOrderMessage>("get_order_message",
                                               "get_order_message($self)\n--\n\n"),
    method_def<MessageCache, kGetTradeMessage>("get_trade_message",
                                               "get_trade_message($self)\n--\n\n"),
    method_def<MessageCache, kGetAllTradeMessage>("get_all_trade_message",
                                                  "get_all_trade_message($self)\n--\n\n"),
    method_def<MessageCache, kGetCacheSummary>("get_cache_summary",
                                               "get_cache_summary($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"messages", getter_slot<MessageCache, messages_property>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<MessageCache>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<MessageCache>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_mp_length, reinterpret_cast<void*>(length_slot<MessageCache, length>)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript_slot<MessageCache, get_item>)},
    {Py_sq_item, reinterpret_cast<void*>(item_slot<MessageCache, get_item>)},
    {Py_tp_doc, const_cast<char*>("MessageCacheReader()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.MessageCacheReader", sizeof(Wrapped<MessageCache>), 0, kClassFlags,
                    slots};

}  // namespace

const ClassDef kMessageCacheReaderClass{"MessageCacheReader", &spec, &type_object<MessageCache>()};

}  // namespace tidemark::py
