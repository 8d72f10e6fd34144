// The C-API calls that steal a reference, each given a Ref moved in.
//
// A reference handed to such a call must be given up by the call itself, not
// while its other arguments are still being made: a reference released and
// then stranded by a later argument that throws (a MemoryError) is lost.
// Callers build every item first, as Refs, then move them in here; this is
// the one place where a Ref is released into a call.
#pragma once

#include <concepts>
#include <cstddef>
#include <vector>

#include "cpython/errors.hpp"

namespace quillmat::cpython {

// Makes `exception` the interpreter's pending exception.
inline void set_raised(Ref exception) noexcept {
  PyErr_SetRaisedException(exception.release());
}

// Makes `cause` the __cause__ of `exception`.
inline void set_cause(PyObject* exception, Ref cause) noexcept {
  PyException_SetCause(exception, cause.release());
}

// A list of a size known in advance, filled in order.  Its items stay
// unfilled until appended, so the list never reaches Python code before
// `finish`, which checks that every item is there.
class ListBuilder {
 public:
  explicit ListBuilder(std::size_t size)
      : list_(check(PyList_New(static_cast<Py_ssize_t>(size)))),
        size_(static_cast<Py_ssize_t>(size)) {}

  void append(Ref item) {
    if (next_ == size_) throw Failure("a list was given more items than it was made for");
    PyList_SET_ITEM(list_.get(), next_++, item.release());
  }

  Ref finish() && {
    if (next_ != size_) throw Failure("a list was finished before all of its items were given");
    return std::move(list_);
  }

 private:
  Ref list_;
  Py_ssize_t size_;
  Py_ssize_t next_ = 0;
};

inline Ref list_of(std::vector<Ref> items) {
  ListBuilder list(items.size());
  for (Ref& item : items) list.append(std::move(item));
  return std::move(list).finish();
}

// A tuple of the items, in order.  Items made in the argument list itself
// are safe too: those already made are dropped when a later one throws.
template <std::same_as<Ref>... Items>
Ref tuple_of(Items... items) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(items))));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
  return tuple;
}

}  // namespace quillmat::cpython
