// Ref: the one owner of a strong reference to a Python object.
//
// Every reference an extension takes is held by a Ref, so that every early
// return and every C++ exception drops it exactly once.  Raw reference-count
// decrements live only here; a reference handed to a C-API call that steals
// it goes through cpython/steal.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillmat::cpython {

class Ref {
 public:
  Ref() noexcept = default;
  // Take over a new reference (the result of a C-API call that returns one).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Add a reference of our own to an object we were lent (a borrowed
  // reference, in the C API's words).
  static Ref retain(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hand the reference to the caller (typically the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quillmat::cpython
