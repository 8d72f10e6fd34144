// Conversions between Python objects and the plain values of the matrix code.
//
// `from_python<T>` turns an object into a plain value or throws the Python
// error that explains why not; `convert_argument` adds the argument name to
// errors that are exactly TypeError.  `to_python` turns a result into fresh
// Python objects that share nothing with any matrix.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "cpython/arguments.hpp"
#include "cpython/errors.hpp"
#include "cpython/steal.hpp"
#include "matrix/interrupt.hpp"
#include "matrix/matrix.hpp"

namespace quillmat::python {

using cpython::barrier;
using cpython::check;
using cpython::FunctionDescription;
using cpython::ListBuilder;
using cpython::prefix_argument_error;
using cpython::PythonError;
using cpython::raise;
using cpython::raise_format;
using cpython::Ref;
using cpython::take_pending;
using cpython::throw_pending;
using cpython::tuple_of;

// --- Python to plain values -------------------------------------------------

Index index_from_python(PyObject* object);
Cell cell_from_python(PyObject* object);
std::string text_from_python(PyObject* object);
IndexPair index_pair_from_python(PyObject* object);
Row row_from_python(PyObject* object);

// TypeError "'{type name}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* object, const char* target);

// Refuse `str`, then anything that is not a sequence.  Returns the reported
// length (0 when the sequence cannot tell).
Py_ssize_t check_sequence(PyObject* object);

template <class T>
T from_python(PyObject* object);

// The value of a small non-negative int, read without the general C-API path.
inline bool compact_value(PyObject* object, long long& value) {
  if (!PyLong_CheckExact(object) ||
      !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
    return false;
  }
  value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
  return value >= 0;
}

template <class T>
constexpr bool plain_item =
    std::is_same_v<T, Cell> || std::is_same_v<T, Index> || std::is_same_v<T, IndexPair>;

// Reads an item whose conversion can run no Python code (an exact small int,
// an exact pair of them) and which the general conversion would accept as
// it is.  Anything else is left to the general conversion.
template <class T>
bool read_plain(PyObject* object, T& value) {
  long long first, second;
  if constexpr (std::is_same_v<T, Cell>) {
    if (!compact_value(object, first) || first > 255) return false;
    value = static_cast<Cell>(first);
  } else if constexpr (std::is_same_v<T, Index>) {
    if (!compact_value(object, first)) return false;
    value = static_cast<Index>(first);
  } else {
    if (!PyTuple_CheckExact(object) || PyTuple_GET_SIZE(object) != 2 ||
        !compact_value(PyTuple_GET_ITEM(object, 0), first) ||
        !compact_value(PyTuple_GET_ITEM(object, 1), second)) {
      return false;
    }
    value = {static_cast<Index>(first), static_cast<Index>(second)};
  }
  return true;
}

// A sequence of items, each converted in iteration order; the first item that
// fails ends the conversion and later items are never read.
// Bytes reserved at once for a sequence's items on its word.
inline constexpr std::size_t reserve_limit = std::size_t{16} << 20;

template <class Item>
std::vector<Item> sequence_from_python(PyObject* object) {
  const Py_ssize_t length = check_sequence(object);
  std::vector<Item> items;
  // The length is a hint that may lie: room for up to reserve_limit items is
  // taken at once, the rest as the items come, and room left unused is given
  // back at the end.
  try {
    items.reserve(std::min(static_cast<std::size_t>(length), reserve_limit / sizeof(Item)));
  } catch (const std::exception&) {
    // No room for that many: the items themselves decide.
  }
  auto fitted = [&]() -> std::vector<Item> {
    if (items.capacity() - items.size() > std::max<std::size_t>(items.size(), 64))
      items.shrink_to_fit();
    return std::move(items);
  };
  // Exact lists and tuples are walked in place, as their own iterators would
  // walk them: the length is read again before every item, because converting
  // an item may run Python code that changes the list.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const bool list = PyList_CheckExact(object);
    auto size = [&] { return list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object); };
    auto at = [&](Py_ssize_t i) {
      return list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
    };
    for (Py_ssize_t i = 0; i < size(); ++i) {
      interruption_point(1);
      PyObject* raw = at(i);
      if constexpr (std::is_same_v<Item, IndexPair>) {
        // Long operations lists were built over many calls, their tuples
        // scattered in memory: ask for a later one now, so that reading the
        // list waits on memory a few times instead of once per pair.
        constexpr Py_ssize_t ahead = 32;
        if (i + ahead < size()) __builtin_prefetch(at(i + ahead));
      }
      if constexpr (plain_item<Item>) {
        if (Item value; read_plain(raw, value)) {
          items.push_back(value);
          continue;
        }
      }
      // Converting may run Python code that drops the item from the list: hold it.
      Ref item = Ref::retain(raw);
      items.push_back(from_python<Item>(item.get()));
    }
    return fitted();
  }
  Ref iterator = check(PyObject_GetIter(object));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    interruption_point(1);
    items.push_back(from_python<Item>(item.get()));
  }
  if (PyErr_Occurred()) throw_pending();
  return fitted();
}

template <class T>
T from_python(PyObject* object) {
  if constexpr (std::is_same_v<T, Index>) {
    return index_from_python(object);
  } else if constexpr (std::is_same_v<T, Cell>) {
    return cell_from_python(object);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return text_from_python(object);
  } else if constexpr (std::is_same_v<T, IndexPair>) {
    return index_pair_from_python(object);
  } else if constexpr (std::is_same_v<T, Row>) {
    return row_from_python(object);
  } else {
    return sequence_from_python<typename T::value_type>(object);
  }
}

// The argument of parameter `name`; its TypeErrors name it (prefix_argument_error).
template <class T>
T convert_argument(PyObject* object, const char* name) {
  try {
    return from_python<T>(object);
  } catch (PythonError& error) {
    prefix_argument_error(error, name);
    throw;
  }
}

// --- Plain values to Python -------------------------------------------------

Ref new_matrix_object(Matrix record);

// The interpreter's int object for a cell value (its cached small ints).
PyObject* cell_object(Cell value) noexcept;

Ref row_to_python(const Row& row);
Ref operations_to_python(const Operations& operations);

template <class T>
Ref to_python(T&& value) {
  using V = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<V, bool>) {
    return Ref::retain(value ? Py_True : Py_False);
  } else if constexpr (std::is_same_v<V, Cell>) {
    return Ref::retain(cell_object(value));
  } else if constexpr (std::is_same_v<V, Index>) {
    return check(PyLong_FromSize_t(value));
  } else if constexpr (std::is_same_v<V, std::string>) {
    return check(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  } else if constexpr (std::is_same_v<V, Matrix>) {
    return new_matrix_object(std::move(value));
  } else if constexpr (std::is_same_v<V, Row>) {
    return row_to_python(value);
  } else if constexpr (std::is_same_v<V, Operations>) {
    return operations_to_python(value);
  } else if constexpr (requires { typename V::first_type; }) {
    Ref first = to_python(std::forward<T>(value).first);
    Ref second = to_python(std::forward<T>(value).second);
    return tuple_of(std::move(first), std::move(second));
  } else if constexpr (requires { value.has_value(); }) {
    if (!value.has_value()) return Ref::retain(Py_None);
    return to_python(*std::forward<T>(value));
  } else {  // a list of results: rows, index pairs
    ListBuilder list(value.size());
    for (const auto& item : value) list.append(to_python(item));
    return std::move(list).finish();
  }
}

}  // namespace quillmat::python
