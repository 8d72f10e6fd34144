#include "matrix/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "matrix/failure.hpp"

namespace quillmat {

void print_line(std::string_view line) {
  // Whole lines only, so writing each one at once is line buffering.
  std::string text(line);
  text += '\n';
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      throw Failure("failed printing to stdout: " + std::string(std::strerror(error)) +
                    " (os error " + std::to_string(error) + ")");
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace quillmat
