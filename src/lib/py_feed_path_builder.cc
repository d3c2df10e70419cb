// Python binding of FeedPathBuilder: composes the path of a recorded feed file from segment,
// stream and date, and optionally checks that the file is there. The builder holds no state.
#include <optional>
#include <string>
#include <string_view>

#include "binding.h"
#include "classes.h"
#include "feed_path.h"

namespace tidemark::py {

namespace {

struct FeedPathBuilderState {};

using Builder = FeedPathBuilderState;

// Converts the six arguments of build / build_and_verify, in parameter order and all before any
// check, then composes the path. Returns false with the exception set.
bool compose(const Args& args, std::string& path) {
  std::string_view segment;
  uint32_t stream_id = 0, day = 0, month = 0, year = 0;
  std::optional<std::string_view> base_path;
  if (!args.get(0, segment) || !args.get(1, stream_id) || !args.get(2, day) ||
      !args.get(3, month) || !args.get(4, year) || !args.get(5, base_path)) {
    return false;
  }
  auto composed = compose_feed_path(segment, stream_id, day, month, year, base_path);
  if (!composed.ok()) {
    raise_runtime(composed.error_text());
    return false;
  }
  path = std::move(composed.value());
  return true;
}

PyObject* path_str(const std::string& path) {
  return PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

PyObject* build(Builder&, const Args& args) {
  std::string path;
  if (!compose(args, path)) return nullptr;
  return path_str(path);
}

PyObject* build_and_verify(Builder&, const Args& args) {
  std::string path;
  if (!compose(args, path)) return nullptr;
  if (Status found = verify_path_exists(path); !found.ok()) return raise_runtime(found.text());
  return path_str(path);
}

PyObject* repr(Builder&) { return PyUnicode_FromString("FeedPathBuilder()"); }

constexpr std::array<Param, kMaxParams> kPathParams = {{{"segment", true},
                                                        {"stream_id", true},
                                                        {"day", true},
                                                        {"month", true},
                                                        {"year", true},
                                                        {"base_path", false}}};

constexpr Method<Builder> kBuild{"FeedPathBuilder.build()", Access::kShared, build, kPathParams};
constexpr Method<Builder> kBuildAndVerify{"FeedPathBuilder.build_and_verify()", Access::kShared,
                                          build_and_verify, kPathParams};

PyMethodDef methods[] = {
    method_def<Builder, kBuild>(
        "build",
        "build($self, segment, stream_id, day, month, year, base_path=None)\n--\n\n"
        "Build the file path from components.\n"
        "\n"
        "Args:\n"
        "    segment   (str): \"NSE_CM\", \"CM\", \"NSE_FO\", or \"FO\" (case-insensitive)\n"
        "    stream_id (int): stream identifier, must be > 0\n"
        "    day       (int): day of month (1-31)\n"
        "    month     (int): month (1-12)\n"
        "    year      (int): four-digit year (2000-2100)\n"
        "    base_path (str, optional): root directory; defaults to \"/nas/50.30\"\n"
        "\n"
        "Returns:\n"
        "    str: full file path"),
    method_def<Builder, kBuildAndVerify>(
        "build_and_verify",
        "build_and_verify($self, segment, stream_id, day, month, year, base_path=None)\n--\n\n"
        "Same as `build`, but also verifies the file exists on disk.\n"
        "Raises RuntimeError if the path does not exist."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kClassDoc[] =
    "FeedPathBuilder()\n--\n\n"
    "Python-accessible feed file path builder.\n"
    "\n"
    "Usage:\n"
    "\n"
    "```text\n"
    "builder = FeedPathBuilder()\n"
    "path = builder.build(\"NSE_CM\", stream_id=2, day=29, month=12, year=2025)\n"
    "# \"/nas/50.30/NSE_CM/Feed_CM_StreamID_2_29_12_2025.bin\"\n"
    "\n"
    "path = builder.build_and_verify(\"NSE_CM\", stream_id=2, day=29, month=12, year=2025)\n"
    "\n"
    "path = builder.build(\n"
    "    \"NSE_FO\",\n"
    "    stream_id=1,\n"
    "    day=1,\n"
    "    month=6,\n"
    "    year=2026,\n"
    "    base_path=\"/mnt/data\",\n"
    ")\n"
    "```";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<Builder>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Builder>)},
    {Py_tp_methods, methods},
    {Py_tp_repr, reinterpret_cast<void*>(shared_slot<Builder, repr>)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.FeedPathBuilder", sizeof(Wrapped<Builder>), 0, kClassFlags, slots};

}  // namespace

const ClassDef kFeedPathBuilderClass{"FeedPathBuilder", &spec, &type_object<Builder>()};

}  // namespace tidemark::py
