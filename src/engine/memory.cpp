#include "engine/memory.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>

namespace quillmat::engine {
namespace {

std::atomic<std::uint64_t> reserved{0};
std::atomic<std::uint64_t> forks{0};

// In the child of a fork only the forking thread goes on: what the calls of
// the others reserved is the parent's to give back.
void after_fork_in_child() noexcept {
  reserved.store(0, std::memory_order_relaxed);
  forks.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, after_fork_in_child);

std::uint64_t process_limit() {
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0)
    limit = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit rl{};
    if (getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
      limit = std::min<std::uint64_t>(limit, rl.rlim_cur);
    }
  }
  return limit;
}

double gib(std::uint64_t bytes) {
  return static_cast<double>(bytes) / (1 << 30);
}

}  // namespace

std::uint64_t fork_generation() noexcept {
  return forks.load(std::memory_order_relaxed);
}

std::uint64_t memory_budget() {
  // Read once: the limits of a process seldom change, and reading them costs a system call.
  static const std::uint64_t budget = process_limit() / 4 * 3;
  return budget;
}

MemoryReservation::MemoryReservation(std::uint64_t bytes, const char* what) {
  const std::uint64_t budget = memory_budget();
  std::uint64_t before = reserved.load(std::memory_order_relaxed);
  do {
    if (bytes > budget || before > budget - bytes) {
      char text[240];
      std::snprintf(text, sizeof text,
                    "%s needs %.2f GiB, more than this process may use (%.2f GiB, %.2f GiB of it "
                    "held by the engine already)",
                    what, gib(bytes), gib(budget), gib(before));
      throw OutOfMemory(text);
    }
  } while (!reserved.compare_exchange_weak(before, before + bytes, std::memory_order_relaxed));
  bytes_ = bytes;
  forks_ = fork_generation();
}

MemoryReservation::~MemoryReservation() {
  // A reservation from before a fork is not in the child's count.
  if (bytes_ != 0 && forks_ == fork_generation()) {
    reserved.fetch_sub(bytes_, std::memory_order_relaxed);
  }
}

}  // namespace quillmat::engine
