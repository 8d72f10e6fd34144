// Internal failures of the matrix operations.
//
// An operation that meets an impossible request (an index beyond a list, a
// character that is not a digit) stops at once by throwing `Failure`.  The
// text is the user-visible failure text; the location is the check that
// failed.  The matrix code knows nothing of Python: the extension's call
// barrier turns a `Failure` into the Python exception that carries the text.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace quillmat {

class Failure : public std::exception {
 public:
  explicit Failure(std::string text, std::source_location where = std::source_location::current())
      : text_(std::move(text)), where_(where) {}

  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const noexcept { return text_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string text_;
  std::source_location where_;
};

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void index_failure(std::size_t len, std::size_t index,
                                std::source_location where = std::source_location::current());

// "range end index {end} out of range for slice of length {len}"
[[noreturn]] void slice_end_failure(std::size_t end, std::size_t len,
                                    std::source_location where = std::source_location::current());

// "slice index starts at {start} but ends at {end}"
[[noreturn]] void slice_order_failure(std::size_t start, std::size_t end,
                                      std::source_location where = std::source_location::current());

// "called `Option::unwrap()` on a `None` value": a value that must exist is absent.
[[noreturn]] void unwrap_failure(std::source_location where = std::source_location::current());

// "assertion `left == right` failed: {message}\n  left: {left}\n right: {right}"
[[noreturn]] void equality_failure(const char* message, std::size_t left, std::size_t right,
                                   std::source_location where = std::source_location::current());

// Bounds-checked element access: fails with the index failure of `list`.
template <class List>
decltype(auto) checked_at(List& list, std::size_t index,
                          std::source_location where = std::source_location::current()) {
  if (index >= list.size()) index_failure(list.size(), index, where);
  return list[index];
}

}  // namespace quillmat
