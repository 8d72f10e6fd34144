#include "python/convert.hpp"

#include <cstring>

#include "matrix/interrupt.hpp"

namespace quillmat::python {
namespace {

[[noreturn]] void raise_out_of_range() {
  raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

}  // namespace

void raise_cannot_convert(PyObject* object, const char* target) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    // The type will not tell its name; the message still says what went wrong.
    take_pending();
    name = check(PyUnicode_FromString("<failed to extract type name>"));
  }
  raise_format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

Index index_from_python(PyObject* object) {
  if (long long value; compact_value(object, value)) return static_cast<Index>(value);
  Ref integer = PyLong_Check(object) ? Ref::retain(object) : check(PyNumber_Index(object));
  // Negative values and values of 2**64 or more fail here with the interpreter's OverflowError.
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
  static_assert(sizeof(Index) == sizeof(unsigned long long), "the index is 64 bits wide");
  return static_cast<Index>(value);
}

Cell cell_from_python(PyObject* object) {
  long long value;
  if (!compact_value(object, value)) {
    value = PyLong_AsLong(object);  // uses __index__ for objects that are not int
    if (value == -1 && PyErr_Occurred()) throw_pending();
  }
  if (value < 0 || value > 255) raise_out_of_range();
  return static_cast<Cell>(value);
}

std::string text_from_python(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);  // fails on lone surrogates
  if (text == nullptr) throw_pending();
  return std::string(text, static_cast<std::size_t>(size));
}

IndexPair index_pair_from_python(PyObject* object) {
  if (!PyTuple_Check(object)) raise_cannot_convert(object, "PyTuple");
  if (const Py_ssize_t length = PyTuple_GET_SIZE(object); length != 2) {
    raise_format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                 length);
  }
  const Index target = index_from_python(PyTuple_GET_ITEM(object, 0));
  return {target, index_from_python(PyTuple_GET_ITEM(object, 1))};
}

Py_ssize_t check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) raise_cannot_convert(object, "Sequence");
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    // A sequence that cannot tell its length only costs re-growth.  But
    // KeyboardInterrupt, SystemExit and the like are no answer about the
    // length, and neither is MemoryError: those go on.
    PythonError error = take_pending();
    PyObject* exception = error.exception();
    if (!PyErr_GivenExceptionMatches(exception, PyExc_Exception) ||
        PyErr_GivenExceptionMatches(exception, PyExc_MemoryError)) {
      throw error;
    }
    return 0;
  }
  return length;
}

Row row_from_python(PyObject* object) {
  // bytes and bytearray hold their cells already; no Python code can run while they are copied.
  if (PyBytes_CheckExact(object)) {
    const auto* data = reinterpret_cast<const Cell*>(PyBytes_AS_STRING(object));
    return Row(data, data + PyBytes_GET_SIZE(object));
  }
  if (PyByteArray_CheckExact(object)) {
    const auto* data = reinterpret_cast<const Cell*>(PyByteArray_AS_STRING(object));
    return Row(data, data + PyByteArray_GET_SIZE(object));
  }
  return sequence_from_python<Cell>(object);
}

PyObject* cell_object(Cell value) noexcept {
  // Every cell value is one of the interpreter's cached small ints, which
  // live as long as it does; fetching the 256 of them once makes each cell a
  // table load.
  static PyObject* const* const cells = [] {
    static PyObject* table[256];
    for (int cell = 0; cell < 256; ++cell) table[cell] = PyLong_FromLong(cell);
    return table;
  }();
  return cells[value];
}

Ref row_to_python(const Row& row) {
  interruption_point(row.size() + 1);
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(row.size())));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  for (std::size_t i = 0; i < row.size(); ++i) items[i] = Py_NewRef(cell_object(row[i]));
  return list;
}

Ref operations_to_python(const Operations& operations) {
  // An operations list names few distinct rows many times over: each index
  // becomes one int object, shared by every pair that names it.
  std::vector<Ref> indices;
  auto index = [&](Index value) {
    if (value >= indices.size()) indices.resize(value + 1);
    if (!indices[value]) indices[value] = check(PyLong_FromSize_t(value));
    return Ref::retain(indices[value].get());
  };
  ListBuilder list(operations.size());
  for (const IndexPair& operation : operations) {
    interruption_point(8);
    Ref first = index(operation.first);
    Ref pair = tuple_of(std::move(first), index(operation.second));
    // A pair of ints can take part in no reference cycle; the collector
    // would stop tracking it at its first pass anyway.
    PyObject_GC_UnTrack(pair.get());
    list.append(std::move(pair));
  }
  return std::move(list).finish();
}

}  // namespace quillmat::python
