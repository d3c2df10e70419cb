#include "py_table_args.h"

#include <atomic>
#include <utility>

#include "py_feed_input.h"
#include "shard_pool.h"

namespace tidemark::py {

PyObject* raise_argument_value(const char* name, const std::string& text) {
  PyErr_Format(PyExc_ValueError, "argument '%s': %s", name, text.c_str());
  return nullptr;
}

namespace {

// Reads one path, a str or bytes (the name as the system stores it).
bool extract_path(PyObject* obj, std::string& out) {
  if (PyBytes_Check(obj)) {
    out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  return extract(obj, out);
}

}  // namespace

bool take_paths(const Args& args, std::size_t i, std::vector<std::string>& out) {
  out.clear();
  if (PyUnicode_Check(args[i]) || PyBytes_Check(args[i])) {
    std::string path;
    if (!extract_path(args[i], path)) {
      prefix_argument_error("paths");
      return false;
    }
    out.push_back(std::move(path));
    return true;
  }
  PyObject* items = PySequence_Fast(args[i], "must be a str or a list of str");
  if (items == nullptr) {
    prefix_argument_error("paths");
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  for (Py_ssize_t k = 0; k < n; ++k) {
    std::string path;
    if (!extract_path(PySequence_Fast_GET_ITEM(items, k), path)) {
      Py_DECREF(items);
      prefix_argument_error("paths");
      return false;
    }
    out.push_back(std::move(path));
  }
  Py_DECREF(items);
  if (out.empty()) {
    raise_argument_value("paths", "must name at least one file");
    return false;
  }
  return true;
}

bool take_tokens(const Args& args, std::size_t i, std::optional<std::vector<uint32_t>>& out) {
  if (args.absent(i)) return true;
  PyObject* items = PySequence_Fast(args[i], "must be a list or tuple of tokens");
  if (items == nullptr) {
    prefix_argument_error("tokens");
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  std::vector<uint32_t> tokens;
  tokens.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    uint32_t token;
    if (!extract(PySequence_Fast_GET_ITEM(items, k), token)) {
      Py_DECREF(items);
      prefix_argument_error("tokens");
      return false;
    }
    tokens.push_back(token);
  }
  Py_DECREF(items);
  out = std::move(tokens);
  return true;
}

bool take_row_selection(const Args& args, std::size_t i, arrow::RowSelection& out) {
  std::optional<uint64_t> start, end;
  if (!take_tokens(args, i, out.tokens) || !args.get(i + 1, start) || !args.get(i + 2, end)) {
    return false;
  }
  out.start = start.value_or(0);
  if (end) {
    out.end = *end;
    out.end_set = true;
  }
  out.prepare();
  return true;
}

bool take_follow(const Args& args, std::size_t i, std::optional<input::FollowOptions>& out) {
  std::optional<int64_t> flush_ns, idle_ns;
  if (!args.get(i, flush_ns) || !args.get(i + 1, idle_ns)) return false;
  out.reset();
  if (!flush_ns) return true;
  if (*flush_ns < 0) {
    raise_argument_value("follow_flush_ns", "must not be negative");
    return false;
  }
  out.emplace();
  out->flush_interval_ns = *flush_ns;
  out->idle_timeout_ns = idle_ns.value_or(-1);
  out->stop = std::make_shared<std::atomic<bool>>(false);
  return true;
}

bool check_inputs(const std::vector<std::string>& paths, arrow::ReplayEngine::Inputs& out,
                  const input::FollowOptions* follow, bool follow_all) {
  out.clear();
  for (const std::string& path : paths) {
    const bool followed = follow != nullptr && (follow_all || &path == &paths.back());
    std::shared_ptr<input::CheckedInput> input = checked_input(path, followed ? follow : nullptr);
    if (input == nullptr) {
      if (paths.size() > 1 && PyErr_ExceptionMatches(PyExc_RuntimeError)) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
        if (text != nullptr) {
          PyObject* shown = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()),
                                                 "backslashreplace");
          if (shown != nullptr) {
            PyErr_Format(PyExc_RuntimeError, "%U: %U", shown, text);
            Py_DECREF(shown);
          }
          Py_DECREF(text);
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
      }
      return false;
    }
    out.push_back(std::move(input));
  }
  return true;
}

bool take_threads(const Args& args, std::size_t i, uint64_t& out) {
  if (!args.get(i, out)) return false;
  if (out >= 1 && out <= arrow::kMaxShards) return true;
  raise_argument_value("threads", "must be from 1 to " + std::to_string(arrow::kMaxShards) +
                                      ", got " + std::to_string(out));
  return false;
}

}  // namespace tidemark::py
