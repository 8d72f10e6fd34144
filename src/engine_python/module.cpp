// quillmat._engine: the door of the algebraic-immunity engine.
//
// Each function takes `n`, the number of variables (0 .. max_variables), and
// `bits`, the truth table f packed eight points to a byte: any C-contiguous
// buffer of (2**n + 7) // 8 bytes whose byte x // 8 holds f(x) in bit x % 8
// (little-endian bit order, as int.to_bytes(..., "little") packs it).  Bits
// past 2**n in the last byte are ignored.  `threads` is the most threads the
// work may use, 0 for one per available core; `progress` is None or a
// callable progress(done, total) called now and then while the work runs.
// `method` is 0 to let a cost model choose the solver of each system, 1 for
// the dense solver, 2 for the black-box solver, whose random choices `seed`
// (0 .. 2**64 - 1) gives; a dimension it could not prove is None.
// The work runs with the interpreter lock released; a signal handler or
// progress callable that raises stops it, and its exception is raised.
// quillmat.immunity checks and converts what users pass; this module checks
// only what keeps it memory-safe: the ranges of the integers and the length
// of the table.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "cpython/function.hpp"
#include "cpython/steal.hpp"
#include "engine/cores.hpp"
#include "engine/immunity.hpp"
#include "engine/solver.hpp"
#include "engine/wiedemann.hpp"
#include "engine_python/call.hpp"

namespace quillmat::engine_python {
namespace {

using cpython::Function;
using cpython::ListBuilder;
using cpython::tuple_of;
using engine::Mask;
using engine::TruthTable;
using engine::Word;

// The most threads a call may ask for.
constexpr unsigned max_threads = 1024;

// An int argument: its value when it fits in a long, and the int itself for messages.
struct Integer {
  Ref object;
  long value = 0;
  int overflow = 0;  // the sign of a value that does not fit

  static Integer read(PyObject* argument) {
    Integer integer{check(PyNumber_Index(argument))};
    integer.value = PyLong_AsLongAndOverflow(integer.object.get(), &integer.overflow);
    if (integer.value == -1 && PyErr_Occurred()) throw_pending();
    return integer;
  }
  static Integer from_python(PyObject* argument, const char*) { return read(argument); }
  bool within(long low, long high) const { return overflow == 0 && low <= value && value <= high; }
  [[noreturn]] void out_of_range(const char* name, long low, long high) const {
    raise_format(PyExc_ValueError, "%s must be from %ld to %ld, not %S", name, low, high,
                 object.get());
  }
};

struct Variables {
  int count;
  static Variables from_python(PyObject* object, const char* name) {
    const Integer n = Integer::read(object);
    if (!n.within(0, engine::max_variables)) n.out_of_range(name, 0, engine::max_variables);
    return {static_cast<int>(n.value)};
  }
};

// A degree, 0 .. n: the function checks it against its n.
class Degree {
 public:
  static Degree from_python(PyObject* object, const char* name) {
    return Degree(Integer::read(object), name);
  }
  int at_most(Variables n) const {
    if (!value_.within(0, n.count)) value_.out_of_range(name_, 0, n.count);
    return static_cast<int>(value_.value);
  }

 private:
  Degree(Integer value, const char* name) : value_(std::move(value)), name_(name) {}
  Integer value_;
  const char* name_;
};

struct Threads {
  unsigned count;
  static Threads from_python(PyObject* object, const char* name) {
    const Integer threads = Integer::read(object);
    if (threads.overflow < 0 || (threads.overflow == 0 && threads.value < 0)) {
      raise_format(PyExc_ValueError, "%s must be >= 0, not %S", name, threads.object.get());
    }
    if (threads.overflow > 0 || threads.value >= static_cast<long>(max_threads)) {
      return {max_threads};
    }
    if (threads.value == 0) return {std::min(engine::available_cores(), max_threads)};
    return {static_cast<unsigned>(threads.value)};
  }
};

struct Progress {
  PyObject* callable;  // None or a callable, borrowed from the call's arguments
  static Progress from_python(PyObject* object, const char*) {
    if (object != Py_None && !PyCallable_Check(object)) {
      raise_format(PyExc_TypeError, "'%s' object is not callable", Py_TYPE(object)->tp_name);
    }
    return {object};
  }
};

struct Method {
  engine::Method value;
  static Method from_python(PyObject* object, const char* name) {
    const Integer method = Integer::read(object);
    if (!method.within(0, 2)) method.out_of_range(name, 0, 2);
    constexpr engine::Method methods[] = {engine::Method::automatic, engine::Method::dense,
                                          engine::Method::black_box};
    return {methods[method.value]};
  }
};

struct Seed {
  std::uint64_t value;
  static Seed from_python(PyObject* object, const char* name) {
    Ref number = check(PyNumber_Index(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      raise_format(PyExc_ValueError, "%s must be from 0 to 2**64 - 1, not %S", name, number.get());
    }
    return {value};
  }
};

// The truth table's bytes, held for the call.
class Bits {
 public:
  static Bits from_python(PyObject* object, const char*) {
    std::unique_ptr<Py_buffer, Release> view(new Py_buffer{});
    if (PyObject_GetBuffer(object, view.get(), PyBUF_SIMPLE) < 0) {
      view->obj = nullptr;  // nothing to release
      throw_pending();
    }
    if (!PyBuffer_IsContiguous(view.get(), 'C')) {
      raise(PyExc_BufferError, "the truth table's buffer is not C-contiguous");
    }
    return Bits(std::move(view));
  }

  // The table of n variables as the engine's words: bit x of the table is
  // bit x % 64 of word x / 64, and the bits past 2**n are zero.
  std::vector<Word> words(Variables n) const {
    const std::uint64_t points = std::uint64_t{1} << n.count;
    const auto size = static_cast<std::size_t>((points + 7) / 8);
    if (static_cast<std::size_t>(view_->len) != size) {
      raise_format(PyExc_ValueError, "len(bits) must be (2**n + 7) // 8 = %zu for n = %d, not %zd",
                   size, n.count, view_->len);
    }
    const auto* bytes = static_cast<const unsigned char*>(view_->buf);
    std::vector<Word> words(engine::words_for(points));
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(words.data(), bytes, size);
    } else {
      for (std::size_t i = 0; i < size; ++i) {
        words[i / sizeof(Word)] |= Word{bytes[i]} << (8 * (i % sizeof(Word)));
      }
    }
    if (points % engine::word_bits != 0) {
      words.back() &= (Word{1} << (points % engine::word_bits)) - 1;
    }
    return words;
  }

 private:
  struct Release {
    void operator()(Py_buffer* view) const noexcept {
      PyBuffer_Release(view);
      delete view;
    }
  };
  explicit Bits(std::unique_ptr<Py_buffer, Release> view) noexcept : view_(std::move(view)) {}
  std::unique_ptr<Py_buffer, Release> view_;
};

Ref to_int(std::uint64_t value) {
  return check(PyLong_FromUnsignedLongLong(value));
}

Ref terms_list(const std::vector<Mask>& terms) {
  ListBuilder list(terms.size());
  for (const Mask term : terms) list.append(to_int(term));
  return std::move(list).finish();
}

// A dimension, or None where it was not proved.
Ref dimension(std::uint64_t value) {
  return value == engine::unknown_dimension ? Ref::retain(Py_None) : to_int(value);
}

Ref dimensions_pair(const engine::Dimensions& dimensions) {
  return tuple_of(dimension(dimensions.of_f), dimension(dimensions.of_complement));
}

const char* method_name(engine::Method method) {
  return method == engine::Method::black_box ? "black-box" : "dense";
}

// Runs `work(f, control)` on the table with the interpreter lock released;
// the table is made there too, since counting its weights takes a while at
// 30 variables.
template <class Work>
auto run(Variables n, const Bits& bits, Threads threads, Progress progress, Work work) {
  std::vector<Word> words = bits.words(n);
  Call call(progress.callable, threads.count);
  try {
    return call.run([&](engine::Control& control) {
      const TruthTable f(n.count, std::move(words));
      return work(f, control);
    });
  } catch (const engine::Unproved& unproved) {
    raise(PyExc_RuntimeError, unproved.what());
  }
}

Ref algebraic_immunity(Variables n, Bits bits, Threads threads, Progress progress, Method method,
                       Seed seed) {
  const engine::Immunity result =
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        return engine::algebraic_immunity(f, control, {method.value, seed.value});
      });
  return tuple_of(check(PyLong_FromLong(result.degree)),
                  check(PyBool_FromLong(result.of_complement)), terms_list(result.annihilator),
                  dimension(result.dimensions.of_f), dimension(result.dimensions.of_complement),
                  check(PyBool_FromLong(result.canonical)),
                  check(PyUnicode_FromString(method_name(result.method))));
}

Ref immunity_profile(Variables n, Bits bits, Degree max_degree, Threads threads, Progress progress,
                     Method method, Seed seed) {
  const int degree = max_degree.at_most(n);
  const std::vector<engine::Dimensions> profile =
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        return engine::immunity_profile(f, degree, control, {method.value, seed.value});
      });
  ListBuilder list(profile.size());
  for (const engine::Dimensions& dimensions : profile) list.append(dimensions_pair(dimensions));
  return std::move(list).finish();
}

Ref annihilators(Variables n, Bits bits, Degree degree, Threads threads, Progress progress,
                 Method method, Seed seed) {
  const int at_most = degree.at_most(n);
  const std::vector<std::vector<Mask>> basis =
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        return engine::annihilators(f, at_most, control, {method.value, seed.value});
      });
  ListBuilder list(basis.size());
  for (const std::vector<Mask>& terms : basis) list.append(terms_list(terms));
  return std::move(list).finish();
}

// For the tests that show a broken step of the black-box solver cannot give
// a wrong answer: the next `count` tries corrupt what `fault` names.
Ref inject_faults(Integer fault, Integer count) {
  if (!fault.within(0, 2)) fault.out_of_range("fault", 0, 2);
  if (!count.within(0, 1 << 20)) count.out_of_range("count", 0, 1 << 20);
  constexpr engine::Fault faults[] = {engine::Fault::none, engine::Fault::generator,
                                      engine::Fault::kernel_vector};
  engine::inject_faults(faults[fault.value], static_cast<unsigned>(count.value));
  return Ref::retain(Py_None);
}

Ref available_cores() {
  return check(PyLong_FromUnsignedLong(engine::available_cores()));
}

int exec_module(PyObject* module) {
  return PyModule_AddIntConstant(module, "max_variables", engine::max_variables);
}

PyMethodDef methods[] = {
    Function<"algebraic_immunity", &algebraic_immunity,
             "(degree, of_complement, terms, dim_f, dim_complement, canonical, method): the "
             "algebraic immunity of f, an annihilator of that degree (of f, or of f + 1 when f "
             "has none) as monomial masks, the first canonical one when `canonical`, the "
             "dimensions of both annihilator spaces there (None where unproved), and the "
             "solver that found it.",
             "n", "bits", "threads", "progress", "method", "seed">::definition(),
    Function<"immunity_profile", &immunity_profile,
             "[(dim_f, dim_complement) for degree 0 .. max_degree]: the dimensions of the "
             "annihilators of f and of f + 1 of degree at most each degree (None where "
             "unproved).",
             "n", "bits", "max_degree", "threads", "progress", "method", "seed">::definition(),
    Function<"annihilators", &annihilators,
             "The canonical basis of the annihilators of f of degree at most `degree`, each "
             "a list of monomial masks.",
             "n", "bits", "degree", "threads", "progress", "method", "seed">::definition(),
    Function<"_inject_faults", &inject_faults,
             "For tests: the next `count` tries of the black-box solver corrupt their "
             "generator (fault 1) or kernel vector (fault 2) before the checks; fault 0 none.",
             "fault", "count">::definition(),
    Function<"available_cores", &available_cores,
             "The number of cores this process may run on (its affinity mask on Linux); at "
             "least 1.">::definition(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quillmat._engine",
    "The native algebraic-immunity engine behind quillmat.immunity.\n\n"
    "Every function takes n, the number of variables (0 .. max_variables), and bits, the truth "
    "table packed eight points to a byte: a C-contiguous buffer of (2**n + 7) // 8 bytes whose "
    "byte x // 8 holds f(x) in bit x % 8.  threads is the most threads the work may use, 0 for "
    "one per available core; progress is None or a callable progress(done, total).",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillmat::engine_python

PyMODINIT_FUNC PyInit__engine() {
  return PyModuleDef_Init(&quillmat::engine_python::definition);
}
