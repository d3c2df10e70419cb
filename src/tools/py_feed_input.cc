#include "py_feed_input.h"

#include <utility>

namespace tidemark::py {

std::shared_ptr<input::CheckedInput> checked_input(const std::string& path,
                                                   const input::FollowOptions* follow) {
  Result<std::shared_ptr<input::CheckedInput>> opened = Status::error("");
  {
    UnlockedWait unlocked;
    input::ScopedWaitCheck waiting(&unlocked.wait_check());
    opened = input::CheckedInput::open(path, follow);
  }
  if (PyErr_Occurred()) return nullptr;
  if (!opened.ok()) {
    raise_runtime(opened.error_text());
    return nullptr;
  }
  return std::move(opened.value());
}

PyObject* records_by_type(const std::array<uint64_t, 256>& counts) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (std::size_t type = 0; type < counts.size(); ++type) {
    if (counts[type] == 0) continue;
    PyObject* key = PyUnicode_FromOrdinal(static_cast<int>(type));
    PyObject* count = PyLong_FromUnsignedLongLong(counts[type]);
    const bool ok = key != nullptr && count != nullptr && PyDict_SetItem(dict, key, count) == 0;
    Py_XDECREF(key);
    Py_XDECREF(count);
    if (!ok) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

}  // namespace tidemark::py
