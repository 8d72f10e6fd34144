// Binding call arguments to parameter names.
//
// Every callable has required parameters only, each accepted by position or
// by keyword.  Binding fills one slot per parameter and converts nothing; its
// failures are TypeErrors naming the function, never prefixed with an
// argument name.
#pragma once

#include <span>

#include "python/ref.hpp"

namespace quillmat::python {

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

}  // namespace quillmat::python
