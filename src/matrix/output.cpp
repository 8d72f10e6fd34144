#include "matrix/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"

namespace quillmat {

namespace {

struct Writing {
  std::string_view rest;
  int error = 0;
};

// Writes all of `rest`, or stops at the first error other than EINTR.  It
// may block (a full pipe), so it runs through run_blocking.
void write_all(void* context) {
  auto& writing = *static_cast<Writing*>(context);
  while (!writing.rest.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, writing.rest.data(), writing.rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      writing.error = errno;
      return;
    }
    writing.rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

void print_line(std::string_view line) {
  // Whole lines only, so writing each one at once is line buffering.
  std::string text(line);
  text += '\n';
  Writing writing{text};
  run_blocking(&write_all, &writing);
  if (writing.error != 0) {
    throw Failure("failed printing to stdout: " + std::string(std::strerror(writing.error)) +
                  " (os error " + std::to_string(writing.error) + ")");
  }
}

}  // namespace quillmat
