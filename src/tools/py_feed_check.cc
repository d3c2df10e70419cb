// Binding of check_feed(paths, jump_ns, merge_by_time, threads): the
// integrity check of each feed file (FeedChecker) as a list of dicts, one per
// file; with merge_by_time, the files are checked in one replay merged by
// exch_ts; with threads > 1, the books in shards. The checks run
// without the interpreter lock, a chunk of messages at a time; pending
// signals are handled between chunks, so Ctrl-C stops a long check.
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "feed_check.h"
#include "functions.h"
#include "py_feed_input.h"
#include "py_table_args.h"

namespace tidemark::py {

namespace {

// Chunks of messages checked between looks at pending signals.
constexpr int kChunksPerStep = 64;

// Sets dict[key] = value and releases value (a new reference, or nullptr
// with an exception set). Returns false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* uint(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// {"count": n, "first": [(a, b[, c]), ...]} with `width` numbers per case.
PyObject* case_list(const arrow::CaseList& cases, std::size_t width) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* first = new_list(cases.first, [&](const std::array<uint64_t, 3>& c) -> PyObject* {
    return width == 2 ? Py_BuildValue("(KK)", c[0], c[1])
                      : Py_BuildValue("(KKK)", c[0], c[1], c[2]);
  });
  if (!put(dict, "count", uint(cases.count)) || !put(dict, "first", first)) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* stream_dict(uint16_t id, const arrow::StreamCheck& s) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* gaps = case_list(s.gaps, 2);
  if (gaps != nullptr && !put(gaps, "missing", uint(s.missing))) Py_CLEAR(gaps);
  const bool ok = put(dict, "stream_id", uint(id)) && put(dict, "records", uint(s.records)) &&
                  put(dict, "first_seq_no", uint(s.first_seq_no)) &&
                  put(dict, "last_seq_no", uint(s.last_seq_no)) && put(dict, "gaps", gaps) &&
                  put(dict, "repeated", case_list(s.repeated, 2)) &&
                  put(dict, "exch_ts_backwards", case_list(s.backwards, 3)) &&
                  put(dict, "clock_jumps", case_list(s.jumps, 3));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* books_dict(const arrow::FeedCheck& c) {
  PyObject* dict = PyDict_New();
  PyObject* unknown = PyDict_New();
  PyObject* crossed = case_list(c.crossed, 2);
  const bool ok = dict != nullptr && unknown != nullptr && crossed != nullptr &&
                  put(unknown, "modify", uint(c.unknown_modify)) &&
                  put(unknown, "cancel", uint(c.unknown_cancel)) &&
                  put(unknown, "trade", uint(c.unknown_trade)) &&
                  put(unknown, "trade_neither", uint(c.unknown_trade_neither)) &&
                  put(crossed, "books_at_end", uint(c.crossed_at_end)) &&
                  put(dict, "unknown_orders", Py_NewRef(unknown)) &&
                  put(dict, "reused_ids", case_list(c.reused_ids, 3)) &&
                  put(dict, "crossed", Py_NewRef(crossed));
  Py_XDECREF(unknown);
  Py_XDECREF(crossed);
  if (!ok) {
    Py_XDECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* error_dict(const arrow::FeedCheck& c) {
  if (!c.failed) Py_RETURN_NONE;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  if (!put(dict, "offset", uint(c.error_offset)) ||
      !put(dict, "text",
           PyUnicode_DecodeUTF8(c.error.data(), static_cast<Py_ssize_t>(c.error.size()),
                                "replace"))) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* check_dict(const std::string& path, const arrow::FeedCheck& c) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* streams = PyList_New(0);
  bool ok = streams != nullptr;
  for (const auto& [id, s] : c.streams) {
    if (!ok) break;
    PyObject* item = stream_dict(id, s);
    ok = item != nullptr && PyList_Append(streams, item) == 0;
    Py_XDECREF(item);
  }
  ok = ok &&
       put(dict, "path",
           PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()),
                                "backslashreplace")) &&
       put(dict, "ok", PyBool_FromLong(!c.faulty())) && put(dict, "messages", uint(c.messages)) &&
       put(dict, "records_by_type", records_by_type(c.records_by_type)) &&
       put(dict, "streams", streams) && put(dict, "books", books_dict(c)) &&
       put(dict, "error", error_dict(c));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// Runs a few chunks of the check with the interpreter lock released.
bool step_unlocked(arrow::FeedChecker& checker) {
  UnlockedWait unlocked;
  input::ScopedWaitCheck waiting(&unlocked.wait_check());
  for (int i = 0; i < kChunksPerStep; ++i) {
    if (checker.step()) return true;
  }
  return false;
}

// Opens `path` for the check (its first record is checked by the replay,
// so a bad one is a finding). Returns null with an exception set.
std::unique_ptr<FeedFile> open_for_check(const std::string& path, bool several,
                                         std::size_t buffer) {
  Result<input::Input> opened = Status::error("");
  {
    UnlockedWait unlocked;
    input::ScopedWaitCheck waiting(&unlocked.wait_check());
    opened = input::open_input(path, buffer);
  }
  if (PyErr_Occurred()) return nullptr;
  if (!opened.ok()) {
    raise_runtime(several ? path + ": " + opened.error_text() : opened.error_text());
    return nullptr;
  }
  return std::move(opened.value().file);
}

// Runs `checker` to its end. Returns false with an exception set.
bool run(arrow::FeedChecker& checker) {
  for (;;) {
    const bool done = step_unlocked(checker);
    if (PyErr_Occurred() || PyErr_CheckSignals() < 0) return false;
    if (done) return true;
  }
}

// Starts the checker's shard threads; returns false with an exception set.
bool start_threads(arrow::FeedChecker& checker, uint64_t threads) {
  Status s = checker.set_threads(threads);
  if (!s.ok()) raise_runtime(s.text());
  return s.ok();
}

PyObject* check_one(const std::string& path, bool several, uint64_t jump_ns, uint64_t threads) {
  std::unique_ptr<FeedFile> file = open_for_check(path, several, 1 << 20);
  if (file == nullptr) return nullptr;
  arrow::FeedChecker checker(std::move(file), jump_ns);
  if (!start_threads(checker, threads) || !run(checker)) return nullptr;
  return check_dict(path, checker.result());
}

// The files checked in one replay merged by exch_ts, a report per file.
PyObject* check_merged(const std::vector<std::string>& paths, uint64_t jump_ns, uint64_t threads) {
  std::vector<std::unique_ptr<FeedFile>> files;
  for (const std::string& path : paths) {
    files.push_back(open_for_check(path, paths.size() > 1, FeedFile::kDefaultBuffer));
    if (files.back() == nullptr) return nullptr;
  }
  arrow::FeedChecker checker(std::move(files), jump_ns);
  if (!start_threads(checker, threads) || !run(checker)) return nullptr;
  PyObject* out = PyList_New(0);
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    PyObject* item = check_dict(paths[i], checker.results()[i]);
    if (item == nullptr || PyList_Append(out, item) != 0) {
      Py_XDECREF(item);
      Py_DECREF(out);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return out;
}

PyObject* check_feed(PyObject*, const Args& args) {
  std::vector<std::string> paths;
  uint64_t jump_ns = 3'600'000'000'000;
  bool merge_by_time = false;
  uint64_t threads = 1;
  if (!take_paths(args, 0, paths) || !args.get(1, jump_ns) || !args.get(2, merge_by_time) ||
      !take_threads(args, 3, threads)) {
    return nullptr;
  }
  if (merge_by_time) return check_merged(paths, jump_ns, threads);
  PyObject* out = PyList_New(0);
  if (out == nullptr) return nullptr;
  for (const std::string& path : paths) {
    PyObject* item = check_one(path, paths.size() > 1, jump_ns, threads);
    if (item == nullptr || PyList_Append(out, item) != 0) {
      Py_XDECREF(item);
      Py_DECREF(out);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return out;
}

}  // namespace

const Function kCheckFeed{
    "check_feed()",
    check_feed,
    {{{"paths", true}, {"jump_ns", false}, {"merge_by_time", false}, {"threads", false}}}};

}  // namespace tidemark::py
