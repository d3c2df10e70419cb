// Checking a feed input from a binding: the open and the first-record check
// run with the interpreter lock released, and a wait for a slow pipe ends
// when a signal handler raises (Ctrl-C).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "binding.h"
#include "feed_input.h"

namespace tidemark::py {

// Releases the interpreter lock for the life of the guard. Its wait_check()
// takes the lock back for a moment to run pending signal handlers and says
// to give up when one raised; the exception stays set for the caller.
class UnlockedWait {
 public:
  UnlockedWait() : saved_(PyEval_SaveThread()) {}
  ~UnlockedWait() { PyEval_RestoreThread(saved_); }
  UnlockedWait(const UnlockedWait&) = delete;
  UnlockedWait& operator=(const UnlockedWait&) = delete;

  const input::WaitCheck& wait_check() const { return check_; }

 private:
  PyThreadState* saved_;
  input::WaitCheck check_ = [this] {
    PyEval_RestoreThread(saved_);
    const bool raised = PyErr_CheckSignals() < 0;
    saved_ = PyEval_SaveThread();
    return raised;
  };
};

// Opens and checks the feed input at `path` (input::CheckedInput). Returns
// it, or nullptr with an exception set: RuntimeError with the failure's
// text, or what a signal handler raised.
std::shared_ptr<input::CheckedInput> checked_input(const std::string& path,
                                                   const input::FollowOptions* follow = nullptr);

// Returns a new dict {type character: records} of the record types that
// occur in `counts` (indexed by type byte), or nullptr with an exception set.
PyObject* records_by_type(const std::array<uint64_t, 256>& counts);

}  // namespace tidemark::py
