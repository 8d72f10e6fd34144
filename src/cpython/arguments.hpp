// Binding call arguments to parameter names.
//
// Every callable has required parameters only, each accepted by position or
// by keyword.  Binding fills one slot per parameter and converts nothing; its
// failures are TypeErrors naming the function, never prefixed with an
// argument name.
#pragma once

#include <algorithm>
#include <array>
#include <span>

#include "cpython/errors.hpp"

namespace quillmat::cpython {

struct FunctionDescription {
  const char* class_name;  // "Matrix", or nullptr for module functions
  const char* name;
  std::span<const char* const> parameters;
};

// Vector call: `args[0:nargs]` positional, then one value per name in `kwnames`.
void bind_fastcall(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> slots);

// Tuple-and-dict call (the type's __new__); `kwargs` may be null.
void bind_tuple_dict(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> slots);

// The slots of a vector call, one borrowed reference per parameter.
template <std::size_t N>
std::array<PyObject*, N> bind_fastcall(const FunctionDescription& function, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
    std::copy_n(args, N, slots.begin());  // the common call: all by position
  } else {
    bind_fastcall(function, args, nargs, kwnames, slots);
  }
  return slots;
}

// An error of exactly TypeError met while converting the argument of
// parameter `name` is thrown again as "argument 'NAME': {text}", keeping the
// original's __cause__; any other error, subclasses of TypeError included,
// is left for the caller to pass on unchanged.
void prefix_argument_error(PythonError& error, const char* name);

}  // namespace quillmat::cpython
