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

}  // namespace tidemark::py
