#include "cpython/arguments.hpp"

#include <cstring>
#include <string>

#include "cpython/steal.hpp"

namespace quillmat::cpython {
namespace {

// "Matrix.get()" or "verify()".
std::string full_name(const FunctionDescription& function) {
  std::string name;
  if (function.class_name != nullptr) name = std::string(function.class_name) + ".";
  return name + function.name + "()";
}

void bind_positional(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> slots) {
  const auto count = static_cast<Py_ssize_t>(function.parameters.size());
  if (nargs > count) {
    // The word stays "arguments" for a count of 1, as callers have always seen it.
    raise_format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 full_name(function).c_str(), count, nargs, nargs == 1 ? "was" : "were");
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
}

void bind_keyword(const FunctionDescription& function, PyObject* name, PyObject* value,
                  std::span<PyObject*> slots) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (text == nullptr) PyErr_Clear();  // a name that cannot be encoded matches no parameter
  for (std::size_t i = 0; text != nullptr && i < function.parameters.size(); ++i) {
    const char* parameter = function.parameters[i];
    if (std::strlen(parameter) != static_cast<std::size_t>(size) ||
        std::memcmp(parameter, text, static_cast<std::size_t>(size)) != 0) {
      continue;
    }
    if (slots[i] != nullptr) {
      raise_format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   full_name(function).c_str(), parameter);
    }
    slots[i] = value;
    return;
  }
  raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               full_name(function).c_str(), name);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
void check_complete(const FunctionDescription& function, std::span<PyObject*> slots) {
  std::string list;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) missing += slots[i] == nullptr;
  if (missing == 0) return;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] != nullptr) continue;
    ++listed;
    if (listed > 1) list += missing == 2 ? " and " : (listed == missing ? ", and " : ", ");
    list += std::string("'") + function.parameters[i] + "'";
  }
  raise_format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               full_name(function).c_str(), missing, missing == 1 ? "argument" : "arguments",
               list.c_str());
}

}  // namespace

void bind_fastcall(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> slots) {
  bind_positional(function, args, nargs, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      bind_keyword(function, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
    }
  }
  check_complete(function, slots);
}

void bind_tuple_dict(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> slots) {
  bind_positional(function, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value))
      bind_keyword(function, name, value, slots);
  }
  check_complete(function, slots);
}

void prefix_argument_error(PythonError& error, const char* name) {
  PyObject* exception = error.exception();
  if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return;
  Ref message = check(PyUnicode_FromFormat("argument '%s': %S", name, exception));
  Ref prefixed = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (Ref cause = Ref::steal(PyException_GetCause(exception))) {
    set_cause(prefixed.get(), std::move(cause));
  }
  throw PythonError(std::move(prefixed));
}

}  // namespace quillmat::cpython
