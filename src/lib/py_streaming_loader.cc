// Python binding of StreamingBinaryLoader.
#include "binding.h"
#include "classes.h"
#include "message_dict.h"
#include "streaming_loader.h"

namespace tidemark::py {

namespace {

using Loader = StreamingLoader;

PyObject* open_stream(Loader& self, const Args& args) {
  std::string path;
  bool count = true;
  if (!args.get(0, path) || !args.get(1, count)) return nullptr;
  auto result = self.open_stream(path, count);
  if (!result.ok()) return raise_runtime(result.error_text());
  return PyLong_FromUnsignedLongLong(result.value());
}

PyObject* reset_cursor(Loader& self, const Args&) {
  Status s = self.reset_cursor();
  if (!s.ok()) return raise_runtime(s.text());
  Py_RETURN_NONE;
}

PyObject* get_next_msg(Loader& self, const Args&) {
  FeedMessage message;
  std::string error;
  switch (self.next_message(message, error)) {
    case ReadStep::kEnd:
      Py_RETURN_NONE;
    case ReadStep::kError:
      return raise_runtime(error);
    case ReadStep::kMessage:
      break;
  }
  return message_to_dict(message);
}

PyObject* is_end_of_msg(Loader& self, const Args&) {
  auto result = self.is_end_of_msg();
  if (!result.ok()) return raise_runtime(result.error_text());
  return PyBool_FromLong(result.value());
}

constexpr Method<Loader> kOpenStream{"StreamingBinaryLoader.open_stream()",
                                     Access::kExclusive,
                                     open_stream,
                                     {{{"file_path", true}, {"count_messages", false}}},
                                     2};
constexpr Method<Loader> kResetCursor{
    "StreamingBinaryLoader.reset_cursor()", Access::kExclusive, reset_cursor, {}, 0};
constexpr Method<Loader> kGetNextMsg{
    "StreamingBinaryLoader.get_next_msg()", Access::kExclusive, get_next_msg, {}, 0};
constexpr Method<Loader> kIsEndOfMsg{
    "StreamingBinaryLoader.is_end_of_msg()", Access::kExclusive, is_end_of_msg, {}, 0};

PyMethodDef methods[] = {
    method_def<Loader, kOpenStream>("open_stream",
                                    "open_stream($self, file_path, count_messages=True)\n--\n\n"),
    method_def<Loader, kResetCursor>("reset_cursor", "reset_cursor($self)\n--\n\n"),
    method_def<Loader, kGetNextMsg>("get_next_msg", "get_next_msg($self)\n--\n\n"),
    method_def<Loader, kIsEndOfMsg>("is_end_of_msg", "is_end_of_msg($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<Loader>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Loader>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("StreamingBinaryLoader()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.StreamingBinaryLoader", sizeof(Wrapped<Loader>), 0,
                    TIDEMARK_CLASS_FLAGS, slots};

}  // namespace

const ClassDef kStreamingBinaryLoaderClass{"StreamingBinaryLoader", &spec, &type_object<Loader>()};

}  // namespace tidemark::py
