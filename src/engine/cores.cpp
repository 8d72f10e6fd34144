#include "engine/cores.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cerrno>
#include <thread>

namespace quillmat::engine {
namespace {

#if defined(__linux__)
// The count in the affinity mask, or 0 when it cannot be read.  A machine
// with more processors than the fixed cpu_set_t holds needs a larger set:
// the kernel refuses one too small with EINVAL.
unsigned affinity_count() noexcept {
  for (int processors = CPU_SETSIZE; processors <= (1 << 20); processors *= 2) {
    cpu_set_t* set = CPU_ALLOC(processors);
    if (set == nullptr) return 0;
    const std::size_t size = CPU_ALLOC_SIZE(processors);
    CPU_ZERO_S(size, set);
    const bool read = ::sched_getaffinity(0, size, set) == 0;
    const int error = errno;
    const int count = read ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (read) return static_cast<unsigned>(count);
    if (error != EINVAL) return 0;
  }
  return 0;
}
#endif

}  // namespace

unsigned available_cores() noexcept {
#if defined(__linux__)
  if (const unsigned count = affinity_count(); count > 0) return count;
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace quillmat::engine
