// The Matrix type: its slots, its method table and its creation.
#include <new>

#include "python/method.hpp"

namespace quillmat::python {
namespace {

// The method table, in registration order.  Each entry names the Python
// method, the operation behind it, the borrow it takes and its parameters.
PyMethodDef methods[] = {
    Method<"get_sub_matrix", &Matrix::get_sub_matrix, Kind::shared, "start", "end">::definition(),
    Method<"to_list", &Matrix::to_list, Kind::shared>::definition(),
    Method<"nrows", &Matrix::nrows, Kind::shared>::definition(),
    Method<"ncols", &Matrix::ncols, Kind::shared>::definition(),
    Method<"copy", &Matrix::copy, Kind::shared>::definition(),
    Method<"get", &Matrix::get, Kind::shared, "row", "col">::definition(),
    Method<"add_rows", &Matrix::add_rows, Kind::exclusive, "target", "source">::definition(),
    Method<"swap_rows", &Matrix::swap_rows, Kind::exclusive, "row1", "row2">::definition(),
    Method<"is_zero_row", &Matrix::is_zero_row, Kind::shared, "row">::definition(),
    Method<"reduced_echelon_form_last_row", &Matrix::reduced_echelon_form_last_row,
           Kind::exclusive>::definition(),
    Method<"echelon_form_last_row_dep", &Matrix::echelon_form_last_row_dep,
           Kind::exclusive>::definition(),
    Method<"echelon_form", &Matrix::echelon_form, Kind::shared>::definition(),
    Method<"row_echelon_full_matrix", &Matrix::row_echelon_full_matrix, Kind::shared>::definition(),
    Method<"append_row", &Matrix::append_row, Kind::exclusive, "v">::definition(),
    Method<"append_column", &Matrix::append_column, Kind::exclusive, "v">::definition(),
    Method<"rank", &Matrix::rank, Kind::shared>::definition(),
    Method<"kernel", &Matrix::kernel, Kind::shared>::definition(),
    Method<"compute_vandermonde", &Matrix::compute_vandermonde, Kind::static_method, "support",
           "monomials">::definition(),
    Method<"compute_next", &Matrix::compute_next, Kind::shared, "monom_slice", "support_slice",
           "idx", "operations">::definition(),
    Method<"construct_and_add_column", &Matrix::construct_and_add_column, Kind::shared, "support",
           "monom", "operations">::definition(),
    Method<"fill_rows", &Matrix::fill_rows, Kind::shared, "support_slice",
           "monom_slice">::definition(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* elements_parameter[] = {"elements"};
constexpr FunctionDescription new_description{"Matrix", "__new__", elements_parameter};
constexpr char class_doc[] = "Matrix(elements)\n--\n\n";

PyTypeObject* type_object = nullptr;  // created once, never released

// Moves a record into a fresh object of `type`, borrow flag 0.
Ref adopt(PyTypeObject* type, Matrix&& record) {
  allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  Ref object = check(allocate(type, 0));
  auto* matrix = reinterpret_cast<MatrixObject*>(object.get());
  new (&matrix->record) Matrix{std::move(record)};
  matrix->borrow_flag = 0;
  return object;
}

PyObject* matrix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return barrier([&] {
    PyObject* slots[1] = {};
    cpython::bind_tuple_dict(new_description, args, kwargs, slots);
    Matrix record{convert_argument<Rows>(slots[0], "elements")};
    return adopt(type, std::move(record)).release();
  });
}

PyObject* matrix_repr(PyObject* self) noexcept {
  return barrier([&] {
    Borrow<Kind::shared> receiver(self);
    return to_python(receiver.record().repr()).release();
  });
}

void matrix_dealloc(PyObject* self) noexcept {
  // Instances of a heap type own a reference to it, given up last.
  const Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  reinterpret_cast<MatrixObject*>(self)->record.~Matrix();
  Py_TYPE(self)->tp_free(self);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(&matrix_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&matrix_repr)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&matrix_dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Matrix", static_cast<int>(sizeof(MatrixObject)), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

PyTypeObject* matrix_type() {
  if (type_object != nullptr) return type_object;
  PyObject* created = PyType_FromSpec(&spec);
  if (created == nullptr) {
    // Keep what went wrong as the cause; the next request tries again.
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref error = check(PyObject_CallFunction(PyExc_RuntimeError, "s",
                                            "An error occurred while initializing class Matrix"));
    cpython::set_cause(error.get(), std::move(cause));
    throw PythonError(std::move(error));
  }
  type_object = reinterpret_cast<PyTypeObject*>(created);
  return type_object;
}

Ref new_matrix_object(Matrix record) {
  return adopt(matrix_type(), std::move(record));
}

}  // namespace quillmat::python
