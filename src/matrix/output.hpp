// The module's own writer to the process's standard output, file descriptor 1.
#pragma once

#include <string_view>

namespace quillmat {

// Writes `line` and a newline to file descriptor 1 before returning.  A write
// error fails with "failed printing to stdout: " and the system's description.
void print_line(std::string_view line);

}  // namespace quillmat
