// Python binding of StreamingBinaryLoader.
#include "py_streaming_loader.h"

#include "binding.h"
#include "classes.h"
#include "enrichment.h"
#include "message_dict.h"
#include "py_symbol_master.h"
#include "streaming_loader.h"

namespace tidemark::py {

namespace {

using Loader = LoaderState;

PyObject* open_stream(Loader& self, const Args& args) {
  std::string path;
  bool count = true;
  if (!args.get(0, path) || !args.get(1, count)) return nullptr;
  auto result = self.core.open_stream(path, count);
  if (!result.ok()) return raise_runtime(result.error_text());
  return PyLong_FromUnsignedLongLong(result.value());
}

PyObject* reset_cursor(Loader& self, const Args&) {
  Status s = self.core.reset_cursor();
  if (!s.ok()) return raise_runtime(s.text());
  Py_RETURN_NONE;
}

PyObject* get_next_msg(Loader& self, const Args&) {
  FeedMessage message;
  std::string error;
  switch (self.core.next_message(message, error)) {
    case ReadStep::kEnd:
      Py_RETURN_NONE;
    case ReadStep::kError:
      return raise_runtime(error);
    case ReadStep::kMessage:
      break;
  }
  PyObject* dict = message_to_dict(message);
  const ContractTable* contracts = self.core.contracts();
  if (dict == nullptr || contracts == nullptr) return dict;
  // The token the dict holds under "token", taken from the message itself: an order's is
  // unsigned, a trade's signed one is read by its 32 bits, as coerce_token reads the dict's.
  const uint32_t token =
      message.is_trade() ? static_cast<uint32_t>(message.trade.token) : message.order.token;
  const ContractInfo* info = contracts->find(token);
  if (info != nullptr && !self.enrichment.apply(dict, contracts->position_of(info), *info)) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* attach_symbol_master(Loader& self, const Args& args) {
  Borrowed<SymbolMasterState> master;
  if (!args.get(0, master, kSymbolMasterName, Access::kShared)) return nullptr;
  self.core.attach_contracts(master->table);
  self.enrichment.reset(master->table.size());
  Py_RETURN_NONE;
}

PyObject* detach_symbol_master(Loader& self, const Args&) {
  self.core.detach_contracts();
  self.enrichment.clear();
  Py_RETURN_NONE;
}

PyObject* is_end_of_msg(Loader& self, const Args&) {
  auto result = self.core.is_end_of_msg();
  if (!result.ok()) return raise_runtime(result.error_text());
  return PyBool_FromLong(result.value());
}

constexpr Method<Loader> kOpenStream{"StreamingBinaryLoader.open_stream()",
                                     Access::kExclusive,
                                     open_stream,
                                     {{{"file_path", true}, {"count_messages", false}}}};
constexpr Method<Loader> kResetCursor{
    "StreamingBinaryLoader.reset_cursor()", Access::kExclusive, reset_cursor, {}};
constexpr Method<Loader> kGetNextMsg{
    "StreamingBinaryLoader.get_next_msg()", Access::kExclusive, get_next_msg, {}};
constexpr Method<Loader> kIsEndOfMsg{
    "StreamingBinaryLoader.is_end_of_msg()", Access::kExclusive, is_end_of_msg, {}};
constexpr Method<Loader> kAttachSymbolMaster{"StreamingBinaryLoader.attach_symbol_master()",
                                             Access::kExclusive,
                                             attach_symbol_master,
                                             {{{"master", true}}}};
constexpr Method<Loader> kDetachSymbolMaster{
    "StreamingBinaryLoader.detach_symbol_master()", Access::kExclusive, detach_symbol_master, {}};

PyMethodDef methods[] = {
    method_def<Loader, kOpenStream>("open_stream",
                                    "open_stream($self, file_path, count_messages=True)\n--\n\n"),
    method_def<Loader, kResetCursor>("reset_cursor", "reset_cursor($self)\n--\n\n"),
    method_def<Loader, kGetNextMsg>("get_next_msg", "get_next_msg($self)\n--\n\n"),
    method_def<Loader, kIsEndOfMsg>("is_end_of_msg", "is_end_of_msg($self)\n--\n\n"),
    method_def<Loader, kAttachSymbolMaster>(
        "attach_symbol_master",
        "attach_symbol_master($self, master)\n--\n\n"
        "Attach a loaded SymbolMaster so that get_next_msg() auto-enriches every message."),
    method_def<Loader, kDetachSymbolMaster>(
        "detach_symbol_master",
        "detach_symbol_master($self)\n--\n\n"
        "Remove the attached SymbolMaster (messages will have None symbol fields again)."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<Loader>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Loader>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("StreamingBinaryLoader()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.StreamingBinaryLoader", sizeof(Wrapped<Loader>), 0, kClassFlags,
                    slots};

}  // namespace

const ClassDef kStreamingBinaryLoaderClass{"StreamingBinaryLoader", &spec, &type_object<Loader>()};

}  // namespace tidemark::py
