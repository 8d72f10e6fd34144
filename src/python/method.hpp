// One declaration per Python-callable operation.
//
// `Method<name, core, kind, parameters...>` is everything the interpreter needs
// to call a matrix operation: the method definition with its doc string
// ("name($self, a, b)\n--\n\n", so the interpreter reports the text
// signature), and the wrapper that binds the arguments, borrows the receiver,
// converts the arguments in parameter order, calls `core` on plain values and
// converts its result.  The C++ types of `core`'s parameters choose their
// conversions; its result type chooses the result conversion.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cpython/arguments.hpp"
#include "cpython/function.hpp"
#include "python/convert.hpp"
#include "python/matrix_object.hpp"

namespace quillmat::python {

using cpython::Name;

template <class Core>
struct CoreTraits;
template <class R, class... A, bool E>
struct CoreTraits<R (Matrix::*)(A...) const noexcept(E)> {
  using Result = R;
  using Arguments = std::tuple<std::remove_cvref_t<A>...>;
  static constexpr bool changes_receiver = false;
};
template <class R, class... A, bool E>
struct CoreTraits<R (Matrix::*)(A...) noexcept(E)> : CoreTraits<R (Matrix::*)(A...) const> {
  static constexpr bool changes_receiver = true;
};
template <class R, class... A, bool E>
struct CoreTraits<R (*)(A...) noexcept(E)> {
  using Result = R;
  using Arguments = std::tuple<std::remove_cvref_t<A>...>;
  static constexpr bool changes_receiver = false;
};

template <Name name, auto core, Kind kind, Name... parameters>
struct Method {
  using Traits = CoreTraits<decltype(core)>;
  using Arguments = typename Traits::Arguments;
  static constexpr bool has_self = kind == Kind::shared || kind == Kind::exclusive;
  static_assert(std::tuple_size_v<Arguments> == sizeof...(parameters));
  static_assert(!Traits::changes_receiver || kind == Kind::exclusive,
                "an operation that changes its receiver borrows it exclusively");

  static constexpr auto doc = cpython::make_doc<name, has_self, "", parameters...>();
  static constexpr std::array<const char*, sizeof...(parameters)> parameter_names{
      parameters.text...};
  static constexpr FunctionDescription description{kind == Kind::function ? nullptr : "Matrix",
                                                   name.text, parameter_names};

  static PyMethodDef definition() {
    if constexpr (has_self && sizeof...(parameters) == 0) {
      return {name.text, &no_arguments, METH_NOARGS, doc.text};
    } else {
      int flags = METH_FASTCALL | METH_KEYWORDS | (kind == Kind::static_method ? METH_STATIC : 0);
      return {name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_call)),
              flags, doc.text};
    }
  }

  static PyObject* no_arguments(PyObject* self, PyObject*) noexcept {
    return barrier([&] { return run(self, {}); });
  }

  static PyObject* fast_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return barrier([&] {
      return run(self,
                 cpython::bind_fastcall<sizeof...(parameters)>(description, args, nargs, kwnames));
    });
  }

 private:
  using Slots = std::array<PyObject*, sizeof...(parameters)>;

  static PyObject* run(PyObject* self, const Slots& slots) {
    if constexpr (has_self) {
      // The receiver is borrowed before any argument is converted.
      Borrow<kind> receiver(self);
      Arguments values = convert(slots, std::make_index_sequence<sizeof...(parameters)>{});
      // decltype(auto) keeps a returned reference (to_list) a reference: no copy.
      return finish([&]() -> decltype(auto) {
        return std::apply(
            [&](auto&&... value) -> decltype(auto) {
              return std::invoke(core, receiver.record(), std::move(value)...);
            },
            values);
      });
    } else {
      Arguments values = convert(slots, std::make_index_sequence<sizeof...(parameters)>{});
      return finish([&] { return std::apply(core, std::move(values)); });
    }
  }

  // Braced initialisation converts left to right: the first failure names its argument.
  template <std::size_t... I>
  static Arguments convert(const Slots& slots, std::index_sequence<I...>) {
    return Arguments{
        convert_argument<std::tuple_element_t<I, Arguments>>(slots[I], parameter_names[I])...};
  }

  template <class Call>
  static PyObject* finish(Call&& call) {
    if constexpr (std::is_void_v<typename Traits::Result>) {
      call();
      return Py_NewRef(Py_None);
    } else {
      return to_python(call()).release();
    }
  }
};

}  // namespace quillmat::python
