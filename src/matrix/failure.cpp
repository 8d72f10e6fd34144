#include "matrix/failure.hpp"

#include <string>

namespace quillmat {

void index_failure(std::size_t len, std::size_t index, std::source_location where) {
  throw Failure("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

void slice_end_failure(std::size_t end, std::size_t len, std::source_location where) {
  throw Failure("range end index " + std::to_string(end) + " out of range for slice of length " +
                    std::to_string(len),
                where);
}

void slice_order_failure(std::size_t start, std::size_t end, std::source_location where) {
  throw Failure(
      "slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end),
      where);
}

void unwrap_failure(std::source_location where) {
  throw Failure("called `Option::unwrap()` on a `None` value", where);
}

void equality_failure(const char* message, std::size_t left, std::size_t right,
                      std::source_location where) {
  throw Failure(std::string("assertion `left == right` failed: ") + message +
                    "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right),
                where);
}

}  // namespace quillmat
