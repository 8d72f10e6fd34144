// One declaration per Python-callable function.
//
// `Function<name, core, summary, parameters...>` is everything the
// interpreter needs to call a module function: its method definition, with
// the doc string "name(a, b)\n--\n\nsummary" (so the interpreter reports the
// text signature), and the wrapper that binds the arguments to the parameter
// names, converts each by the C++ type of `core`'s parameter in that place
// and calls `core`, which returns the result as a new reference.  A type T
// converts with `T::from_python(object, parameter_name)`; a TypeError it
// raises is prefixed with the argument's name (prefix_argument_error).
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cpython/arguments.hpp"

namespace quillmat::cpython {

// A string as a template argument: Function<"name", ...>.
template <std::size_t N>
struct Name {
  char text[N]{};
  constexpr Name(const char (&source)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = source[i];
  }
};

template <std::size_t Size>
struct DocText {
  char text[Size]{};
  std::size_t length = 0;
  constexpr void append(const char* part) {
    while (*part != '\0') text[length++] = *part++;
  }
};

// "name($self, a, b)\n--\n\nsummary"; without "$self" for a function.
template <Name name, bool has_self, Name summary, Name... parameters>
constexpr auto make_doc() {
  DocText<sizeof(name.text) + 16 + sizeof(summary.text) + ((sizeof(parameters.text) + 2) + ... + 0)>
      doc;
  doc.append(name.text);
  doc.append("(");
  bool first = true;
  if (has_self) {
    doc.append("$self");
    first = false;
  }
  ((doc.append(first ? "" : ", "), doc.append(parameters.text), first = false), ...);
  doc.append(")\n--\n\n");
  doc.append(summary.text);
  return doc;
}

template <class Core>
struct FunctionTraits;
template <class... A, bool E>
struct FunctionTraits<Ref (*)(A...) noexcept(E)> {
  using Arguments = std::tuple<std::remove_cvref_t<A>...>;
};

// The argument of parameter `name`, converted to T.
template <class T>
T convert_argument(PyObject* object, const char* name) {
  try {
    return T::from_python(object, name);
  } catch (PythonError& error) {
    prefix_argument_error(error, name);
    throw;
  }
}

template <Name name, auto core, Name summary, Name... parameters>
struct Function {
  using Arguments = typename FunctionTraits<decltype(core)>::Arguments;
  static constexpr std::size_t count = sizeof...(parameters);
  static_assert(std::tuple_size_v<Arguments> == count, "one parameter name per argument");

  static constexpr auto doc = make_doc<name, false, summary, parameters...>();
  static constexpr std::array<const char*, count> parameter_names{parameters.text...};
  static constexpr FunctionDescription description{nullptr, name.text, parameter_names};

  static PyMethodDef definition() {
    if constexpr (count == 0) {
      return {name.text, &no_arguments, METH_NOARGS, doc.text};
    } else {
      return {name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_call)),
              METH_FASTCALL | METH_KEYWORDS, doc.text};
    }
  }

 private:
  static PyObject* no_arguments(PyObject*, PyObject*) noexcept {
    return barrier([] { return core().release(); });
  }

  static PyObject* fast_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return barrier([&] {
      const auto slots = bind_fastcall<count>(description, args, nargs, kwnames);
      return call(slots, std::make_index_sequence<count>{});
    });
  }

  // Braced initialisation converts left to right: the first failure names its argument.
  template <std::size_t... I>
  static PyObject* call(const std::array<PyObject*, count>& slots, std::index_sequence<I...>) {
    Arguments values{
        convert_argument<std::tuple_element_t<I, Arguments>>(slots[I], parameter_names[I])...};
    return std::apply(core, std::move(values)).release();
  }
};

}  // namespace quillmat::cpython
