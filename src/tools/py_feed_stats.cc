// Binding of feed_stats(path, progress=None): the statistics of one feed file
// (FeedStatsScan) as a dict. The scan runs without the interpreter lock, a
// few megabytes at a time; between steps the progress callable, if any, is
// called with the bytes scanned so far, and pending signals are handled, so
// Ctrl-C stops a long scan.
#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "binding.h"
#include "feed_stats.h"
#include "functions.h"
#include "py_feed_input.h"

namespace tidemark::py {

namespace {

constexpr uint64_t kStepBytes = 8u << 20;

// Sets dict[key] = value and releases value (a new reference, or nullptr
// with an exception set). Returns false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// Returns a new reference to the int, or to None when `present` is false.
PyObject* optional_int(bool present, uint64_t value) {
  if (!present) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(value);
}

// Returns a new dict {token in decimal: messages}, in ascending token order.
PyObject* messages_by_token(const FeedStats& s) {
  std::vector<std::pair<uint32_t, uint64_t>> tokens(s.messages_by_token.begin(),
                                                    s.messages_by_token.end());
  std::sort(tokens.begin(), tokens.end());
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [token, count] : tokens) {
    const std::string key = std::to_string(token);
    if (!put(dict, key.c_str(), PyLong_FromUnsignedLongLong(count))) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

// Returns a new reference to None, or to {"offset": ..., "text": ...}.
PyObject* decode_error(const FeedStats& s) {
  if (!s.failed) Py_RETURN_NONE;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  if (!put(dict, "offset", PyLong_FromUnsignedLongLong(s.error_offset)) ||
      !put(dict, "text",
           PyUnicode_DecodeUTF8(s.error.data(), static_cast<Py_ssize_t>(s.error.size()),
                                "replace"))) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// Returns the new result dict, or nullptr with an exception set.
PyObject* stats_dict(const std::string& path, const FeedStats& s) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const bool any = s.messages > 0;
  const bool ok =
      put(dict, "path",
          PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()))) &&
      put(dict, "size", PyLong_FromUnsignedLongLong(s.file_size)) &&
      put(dict, "bytes_scanned", PyLong_FromUnsignedLongLong(s.bytes_scanned)) &&
      put(dict, "messages", PyLong_FromUnsignedLongLong(s.messages)) &&
      put(dict, "records_by_type", records_by_type(s.records_by_type)) &&
      put(dict, "padding_bytes", PyLong_FromUnsignedLongLong(s.padding_bytes)) &&
      put(dict, "unknown_records", PyLong_FromUnsignedLongLong(s.unknown_records)) &&
      put(dict, "unknown_bytes", PyLong_FromUnsignedLongLong(s.unknown_bytes)) &&
      put(dict, "tokens", PyLong_FromSize_t(s.messages_by_token.size())) &&
      put(dict, "messages_by_token", messages_by_token(s)) &&
      put(dict, "first_seq_no", optional_int(any, s.first_seq_no)) &&
      put(dict, "last_seq_no", optional_int(any, s.last_seq_no)) &&
      put(dict, "first_exch_ts", optional_int(any, s.first_exch_ts)) &&
      put(dict, "last_exch_ts", optional_int(any, s.last_exch_ts)) &&
      put(dict, "min_exch_ts", optional_int(any, s.min_exch_ts)) &&
      put(dict, "max_exch_ts", optional_int(any, s.max_exch_ts)) &&
      put(dict, "exch_ts_backwards", PyLong_FromUnsignedLongLong(s.exch_ts_backwards)) &&
      put(dict, "sequence_gaps", PyLong_FromUnsignedLongLong(s.sequence_gaps)) &&
      put(dict, "sequence_missing", PyLong_FromUnsignedLongLong(s.sequence_missing)) &&
      put(dict, "error", decode_error(s));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// Runs one step of the scan with the interpreter lock released; a wait for
// a slow pipe gives up when a signal handler raises (the exception is then
// set). The guard takes the lock back before a C++ exception reaches
// guarded().
bool step_unlocked(FeedStatsScan& scan) {
  UnlockedWait unlocked;
  input::ScopedWaitCheck waiting(&unlocked.wait_check());
  return scan.step(kStepBytes);
}

PyObject* feed_stats(PyObject*, const Args& args) {
  std::string path;
  if (!args.get(0, path)) return nullptr;
  // A strong reference for the length of the call: the callback runs
  // arbitrary code between steps.
  PyObject* progress = args.absent(1) ? nullptr : Py_NewRef(args[1]);
  struct Release {
    PyObject* obj;
    ~Release() { Py_XDECREF(obj); }
  } release{progress};

  Result<std::unique_ptr<FeedStatsScan>> opened = Status::error("");
  {
    UnlockedWait unlocked;
    input::ScopedWaitCheck waiting(&unlocked.wait_check());
    opened = FeedStatsScan::open(path);
  }
  if (PyErr_Occurred()) return nullptr;
  if (!opened.ok()) return raise_runtime(opened.error_text());
  FeedStatsScan& scan = *opened.value();

  for (;;) {
    const bool done = step_unlocked(scan);
    if (PyErr_Occurred()) return nullptr;
    if (progress != nullptr) {
      PyObject* position = PyLong_FromUnsignedLongLong(scan.stats().bytes_scanned);
      if (position == nullptr) return nullptr;
      PyObject* r = PyObject_CallOneArg(progress, position);
      Py_DECREF(position);
      if (r == nullptr) return nullptr;
      Py_DECREF(r);
    } else if (PyErr_CheckSignals() < 0) {
      return nullptr;
    }
    if (done) break;
  }
  return stats_dict(path, scan.stats());
}

}  // namespace

const Function kFeedStats{"feed_stats()", feed_stats, {{{"path", true}, {"progress", false}}}};

}  // namespace tidemark::py
