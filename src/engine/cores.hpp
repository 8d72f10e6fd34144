// How many cores the process may run its threads on.
#pragma once

namespace quillmat::engine {

// The cores this process may run on: on Linux those of the calling thread's
// affinity mask (what a container's or taskset's limit leaves), elsewhere
// what the system reports; at least 1.
unsigned available_cores() noexcept;

}  // namespace quillmat::engine
