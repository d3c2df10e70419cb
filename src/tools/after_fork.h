// fork() copies only the calling thread into the child. An object whose
// threads were at work in the parent finds, in the child, a mutex that one
// of them held locked for good, and a condition variable that still counts
// waiters who are gone, so destroying it waits without end. Such objects
// note the process they were made in and, in any other, leak rather than
// lock, wait or destroy.
#pragma once

#include <cstdint>

namespace tidemark {

// An id of the calling process that changes in the child of every fork().
uint64_t process_generation() noexcept;

}  // namespace tidemark
