// The switch for the fast paths.
//
// Every fast path (bit-packed elimination, "0"/"1" string evaluation) gives
// exactly what the general path gives.  Setting QUILLMAT_GENERAL_PATHS=1 in
// the environment turns them all off, so that tests can compare the two.
#pragma once

#include <cstdlib>
#include <string_view>

namespace quillmat {

inline bool fast_paths_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("QUILLMAT_GENERAL_PATHS");
    return value == nullptr || value[0] == '\0' || std::string_view(value) == "0";
  }();
  return enabled;
}

}  // namespace quillmat
