// Failures on their way out of a call, and the barrier that stops them.
//
// Inside a call every failure travels as a C++ exception:
//   PythonError   a Python exception object (fetched from the interpreter or made here);
//   ResumedPanic  a PanicException that Python code let through, resumed with its text;
//   Failure       an internal failure, with the check that failed (matrix/failure.hpp);
//   std::bad_alloc, std::length_error   memory that could not be had.
// `barrier` catches all of them, and anything else, at the edge of every entry
// point and sets the matching Python exception; nothing ever unwinds into the
// interpreter.  Every extension built on this kit follows the same rule: an
// internal failure, or any C++ exception nobody expected, writes a
// diagnostic to stderr and raises PanicException with its text.
#pragma once

#include <new>
#include <stdexcept>

#include "cpython/ref.hpp"
#include "matrix/failure.hpp"

namespace quillmat::cpython {

class PythonError {
 public:
  explicit PythonError(Ref exception) noexcept : exception_(std::move(exception)) {}
  PyObject* exception() const noexcept { return exception_.get(); }
  // Take the exception object out of the error.
  Ref take() noexcept { return std::move(exception_); }

 private:
  Ref exception_;
};

class ResumedPanic {
 public:
  explicit ResumedPanic(Ref text) noexcept : text_(std::move(text)) {}
  Ref text_;
};

// Takes the interpreter's pending exception as a PythonError, for a caller
// that handles some exceptions where it stands (a missing attribute, a length
// that cannot be told) and throws the rest.  A pending PanicException is not
// handed out: it prints its traceback and resumes the failure with the same
// text (ResumedPanic), so it crosses any number of nested calls intact.
PythonError take_pending();

// Takes the pending exception and throws it (see take_pending).
[[noreturn]] inline void throw_pending() {
  throw take_pending();
}

// A new reference from a C-API call, or the pending exception thrown.
inline Ref check(PyObject* new_reference) {
  if (new_reference == nullptr) throw_pending();
  return Ref::steal(new_reference);
}

// Make an exception of `type` with one argument, the message, and throw it.
[[noreturn]] void raise(PyObject* type, PyObject* message);
[[noreturn]] void raise(PyObject* type, const char* message);
// The message as printf-style text, formatted by PyUnicode_FromFormat.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// The PanicException type of the running interpreter, created on first need
// and kept in the interpreter's own state, so that every extension built on
// this kit raises the same type; borrowed, or null with an exception set.
PyObject* panic_exception_type() noexcept;

// Set the Python exception for whatever escaped the body.
void set_python_error(PythonError& error) noexcept;
void set_python_error(const ResumedPanic& panic) noexcept;
void set_python_error(const Failure& failure) noexcept;
// MemoryError; with the failure's text when it has one of its own (a budget
// that refused the work says what it refused), bare for the standard
// library's own allocation failures.
void set_memory_error(const std::bad_alloc& failure) noexcept;
void set_memory_error() noexcept;
void set_unknown_error(const char* what) noexcept;

template <class Body>
PyObject* barrier(Body&& body) noexcept {
  try {
    return body();
  } catch (PythonError& error) {
    set_python_error(error);
  } catch (const ResumedPanic& panic) {
    set_python_error(panic);
  } catch (const Failure& failure) {
    set_python_error(failure);
  } catch (const std::bad_alloc& failure) {
    set_memory_error(failure);
  } catch (const std::length_error&) {  // a size beyond what any allocation can hold
    set_memory_error();
  } catch (const std::exception& other) {
    set_unknown_error(other.what());
  } catch (...) {
    set_unknown_error("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace quillmat::cpython
