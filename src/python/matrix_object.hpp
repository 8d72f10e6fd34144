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

enum class Receiver { shared, exclusive };

// Holds a borrow of the receiver, and a reference to it, for one call.
template <Receiver kind>
class Borrow {
 public:
  explicit Borrow(PyObject* self) {
    if (!PyObject_TypeCheck(self, matrix_type())) raise_cannot_convert(self, "Matrix");
    object_ = reinterpret_cast<MatrixObject*>(self);
    if constexpr (kind == Receiver::shared) {
      if (object_->borrow_flag == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
      ++object_->borrow_flag;
    } else {
      if (object_->borrow_flag != 0) raise(PyExc_RuntimeError, "Already borrowed");
      object_->borrow_flag = -1;
    }
    owner_ = Ref::borrow(self);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if constexpr (kind == Receiver::shared) {
      --object_->borrow_flag;
    } else {
      object_->borrow_flag = 0;
    }
  }

  std::conditional_t<kind == Receiver::shared, const Matrix&, Matrix&> record() const noexcept {
    return object_->record;
  }

 private:
  MatrixObject* object_ = nullptr;
  Ref owner_;
};

}  // namespace quillmat::python
