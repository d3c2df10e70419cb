#include "after_fork.h"

#include <pthread.h>

#include <atomic>

namespace tidemark {

namespace {

std::atomic<uint64_t> generation{0};

// Registered when the module is loaded, before any of its threads exist.
const int registered =
    pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1, std::memory_order_relaxed); });

}  // namespace

uint64_t process_generation() noexcept {
  (void)registered;
  return generation.load(std::memory_order_relaxed);
}

}  // namespace tidemark
