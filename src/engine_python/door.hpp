// The engine's door to Python: errors on their way out, and the barrier.
//
// Inside a call every failure is a C++ exception.  A Python exception
// travels as PythonError holding the exception object, so nothing is pending
// in the interpreter while C++ unwinds; `barrier` turns everything into a
// Python exception at the edge of each entry point.
#pragma once

#include <new>
#include <stdexcept>

#include "engine/control.hpp"
#include "python/ref.hpp"

namespace quillmat::engine_python {

using python::Ref;

class PythonError {
 public:
  explicit PythonError(Ref exception) noexcept : exception_(std::move(exception)) {}
  Ref take() noexcept { return std::move(exception_); }

 private:
  Ref exception_;
};

// Takes the interpreter's pending exception and throws it.
[[noreturn]] inline void throw_pending() {
  throw PythonError(Ref::steal(PyErr_GetRaisedException()));
}

// A new reference from a C-API call, or the pending exception thrown.
inline Ref check(PyObject* new_reference) {
  if (new_reference == nullptr) throw_pending();
  return Ref::steal(new_reference);
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_pending();
}

template <class Body>
PyObject* barrier(Body&& body) noexcept {
  try {
    return body();
  } catch (PythonError& error) {
    PyErr_SetRaisedException(error.take().release());
  } catch (const engine::OutOfMemory& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a size beyond what any allocation can hold
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quillmat._engine: unknown C++ exception");
  }
  return nullptr;
}

}  // namespace quillmat::engine_python
