// The Python object that holds a Matrix record, and the borrow of a receiver.
#pragma once

#include "matrix/matrix.hpp"
#include "python/convert.hpp"

namespace quillmat::python {

struct MatrixObject {
  PyObject_HEAD Matrix record;
  // 0 free, n > 0 shared borrows open, -1 one exclusive borrow open.  Guarded
  // by the interpreter lock; it refuses re-entrant use of a matrix from Python
  // code that runs while one of its calls converts arguments.
  Py_ssize_t borrow_flag;
};

// The Matrix type, created on first need (normally during import).
PyTypeObject* matrix_type();

// What a Python-callable operation is: how it takes its receiver, if any.
// A borrow is the claim a call lays on its receiver's record for as long as
// it runs (the record's borrow_flag), not a reference to the object.
enum class Kind {
  shared,         // instance method reading the receiver: a shared borrow
  exclusive,      // instance method that may change it: an exclusive borrow
  static_method,  // Matrix.name(...), no receiver
  function,       // module-level function, bound to the module
};

// Holds a borrow of the receiver, and a reference to it, for one call.
template <Kind kind>
class Borrow {
  static_assert(kind == Kind::shared || kind == Kind::exclusive, "only methods have a receiver");

 public:
  explicit Borrow(PyObject* self) {
    if (!PyObject_TypeCheck(self, matrix_type())) raise_cannot_convert(self, "Matrix");
    object_ = reinterpret_cast<MatrixObject*>(self);
    if constexpr (kind == Kind::shared) {
      if (object_->borrow_flag == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
      ++object_->borrow_flag;
    } else {
      if (object_->borrow_flag != 0) raise(PyExc_RuntimeError, "Already borrowed");
      object_->borrow_flag = -1;
    }
    owner_ = Ref::retain(self);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if constexpr (kind == Kind::shared) {
      --object_->borrow_flag;
    } else {
      object_->borrow_flag = 0;
    }
  }

  std::conditional_t<kind == Kind::shared, const Matrix&, Matrix&> record() const noexcept {
    return object_->record;
  }

 private:
  MatrixObject* object_ = nullptr;
  Ref owner_;
};

}  // namespace quillmat::python
