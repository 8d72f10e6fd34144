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
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cpython/function.hpp"
#include "cpython/steal.hpp"
#include "engine/cores.hpp"
#include "engine/fast_immunity.hpp"
#include "engine/immunity.hpp"
#include "engine/memory.hpp"
#include "engine/monomials.hpp"
#include "engine/sbox.hpp"
#include "engine/solver.hpp"
#include "engine/spectra.hpp"
#include "engine/vanishing.hpp"
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

template <int most>
struct VariablesUpTo {
  int count;
  static VariablesUpTo from_python(PyObject* object, const char* name) {
    const Integer n = Integer::read(object);
    if (!n.within(0, most)) n.out_of_range(name, 0, most);
    return {static_cast<int>(n.value)};
  }
};
// Of a truth table.
using Variables = VariablesUpTo<engine::max_variables>;
// Of points given one by one.
using WideVariables = VariablesUpTo<engine::max_wide_variables>;

// A degree, 0 .. n: the function checks it against its n.
class Degree {
 public:
  static Degree from_python(PyObject* object, const char* name) {
    return Degree(Integer::read(object), name);
  }
  int at_most(int n) const {
    if (!value_.within(0, n)) value_.out_of_range(name_, 0, n);
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

struct Flag {
  bool value;
  static Flag from_python(PyObject* object, const char*) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw_pending();
    return {truth != 0};
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

// A C-contiguous buffer's bytes, held for the call.
class Buffer {
 public:
  static Buffer acquire(PyObject* object, const char* what) {
    std::unique_ptr<Py_buffer, Release> view(new Py_buffer{});
    if (PyObject_GetBuffer(object, view.get(), PyBUF_SIMPLE) < 0) {
      view->obj = nullptr;  // nothing to release
      throw_pending();
    }
    if (!PyBuffer_IsContiguous(view.get(), 'C')) {
      raise_format(PyExc_BufferError, "%s's buffer is not C-contiguous", what);
    }
    return Buffer(std::move(view));
  }
  const unsigned char* bytes() const noexcept {
    return static_cast<const unsigned char*>(view_->buf);
  }
  std::size_t size() const noexcept { return static_cast<std::size_t>(view_->len); }

  // Bytes as little-endian 64-bit words; the last one is completed with zeros.
  std::vector<Word> words() const {
    std::vector<Word> words(engine::words_for(size() * 8));
    if (size() == 0) return words;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(words.data(), bytes(), size());
    } else {
      for (std::size_t i = 0; i < size(); ++i) {
        words[i / sizeof(Word)] |= Word{bytes()[i]} << (8 * (i % sizeof(Word)));
      }
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
  explicit Buffer(std::unique_ptr<Py_buffer, Release> view) noexcept : view_(std::move(view)) {}
  std::unique_ptr<Py_buffer, Release> view_;
};

// The truth table's bytes.
class Bits {
 public:
  static Bits from_python(PyObject* object, const char*) {
    return Bits{Buffer::acquire(object, "the truth table")};
  }

  // The table of n variables as the engine's words: bit x of the table is
  // bit x % 64 of word x / 64, and the bits past 2**n are zero.
  std::vector<Word> words(Variables n) const {
    const std::uint64_t points = std::uint64_t{1} << n.count;
    const auto size = static_cast<std::size_t>((points + 7) / 8);
    if (buffer_.size() != size) {
      raise_format(PyExc_ValueError, "len(bits) must be (2**n + 7) // 8 = %zu for n = %d, not %zu",
                   size, n.count, buffer_.size());
    }
    std::vector<Word> words = buffer_.words();
    if (points % engine::word_bits != 0) {
      words.back() &= (Word{1} << (points % engine::word_bits)) - 1;
    }
    return words;
  }

 private:
  explicit Bits(Buffer buffer) noexcept : buffer_(std::move(buffer)) {}
  Buffer buffer_;
};

// Unsigned 64-bit integers, little-endian, 8 bytes each: points, or the
// values of an S-box's table.
class Integers {
 public:
  static Integers from_python(PyObject* object, const char* name) {
    Integers integers{Buffer::acquire(object, name)};
    if (integers.buffer_.size() % sizeof(std::uint64_t) != 0) {
      raise_format(PyExc_ValueError, "len(%s) must be a multiple of 8, not %zu", name,
                   integers.buffer_.size());
    }
    return integers;
  }
  std::vector<std::uint64_t> values() const { return buffer_.words(); }
  std::size_t count() const noexcept { return buffer_.size() / sizeof(std::uint64_t); }

 private:
  explicit Integers(Buffer buffer) noexcept : buffer_(std::move(buffer)) {}
  Buffer buffer_;
};

Ref to_int(std::uint64_t value) {
  return check(PyLong_FromUnsignedLongLong(value));
}

template <class M>
Ref terms_list(const std::vector<M>& terms) {
  ListBuilder list(terms.size());
  for (const M term : terms) list.append(to_int(term));
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

// Runs `work(control)` with the interpreter lock released.
template <class Work>
auto run_released(Threads threads, Progress progress, Work work) {
  Call call(progress.callable, threads.count);
  try {
    return call.run(work);
  } catch (const engine::Unproved& unproved) {
    raise(PyExc_RuntimeError, unproved.what());
  } catch (const std::invalid_argument& invalid) {  // a stage's state from another try
    raise(PyExc_ValueError, invalid.what());
  }
}

// Runs `work(f, control)` on the table with the interpreter lock released;
// the table is made there too, since counting its weights takes a while at
// 30 variables.
template <class Work>
auto run(Variables n, const Bits& bits, Threads threads, Progress progress, Work work) {
  std::vector<Word> words = bits.words(n);
  return run_released(threads, progress, [&](engine::Control& control) {
    const TruthTable f(n.count, std::move(words));
    return work(f, control);
  });
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

Ref immunity_tuple(const engine::Immunity& result) {
  return tuple_of(check(PyLong_FromLong(result.degree)),
                  check(PyBool_FromLong(result.of_complement)), terms_list(result.annihilator),
                  dimension(result.dimensions.of_f), dimension(result.dimensions.of_complement),
                  check(PyBool_FromLong(result.canonical)),
                  check(PyUnicode_FromString(method_name(result.method))));
}

Ref fast_algebraic_immunity(Variables n, Bits bits, Threads threads, Progress progress,
                            Method method, Seed seed) {
  const engine::FastImmunity r =
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        return engine::fast_algebraic_immunity(f, control, {method.value, seed.value});
      });
  auto ints = [](const std::vector<int>& values) {
    ListBuilder list(values.size());
    for (const int v : values) list.append(check(PyLong_FromLong(v)));
    return std::move(list).finish();
  };
  return tuple_of(check(PyLong_FromLong(r.value)), check(PyBool_FromLong(r.from_annihilator)),
                  terms_list(r.g), check(PyLong_FromLong(r.degree_g)),
                  check(PyLong_FromLong(r.degree_product)), ints(r.least), ints(r.searched),
                  immunity_tuple(r.immunity));
}

Ref immunity_profile(Variables n, Bits bits, Degree max_degree, Threads threads, Progress progress,
                     Method method, Seed seed) {
  const int degree = max_degree.at_most(n.count);
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
  const int at_most = degree.at_most(n.count);
  const std::vector<std::vector<Mask>> basis =
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        return engine::annihilators(f, at_most, control, {method.value, seed.value});
      });
  ListBuilder list(basis.size());
  for (const std::vector<Mask>& terms : basis) list.append(terms_list(terms));
  return std::move(list).finish();
}

// (dimension, basis): the basis a list of polynomials, each a list of
// monomial masks, or None when it was not asked for.
Ref space_tuple(const engine::VanishingSpace& space, Flag basis) {
  if (!basis.value) return tuple_of(to_int(space.dimension), Ref::retain(Py_None));
  ListBuilder list(space.basis.size());
  for (const std::vector<engine::WideMask>& terms : space.basis) list.append(terms_list(terms));
  return tuple_of(to_int(space.dimension), std::move(list).finish());
}

engine::Want wanted(Flag basis) {
  return basis.value ? engine::Want::basis : engine::Want::dimension;
}

Ref vanishing_space(WideVariables n, Integers points, Degree degree, Flag basis, Threads threads,
                    Progress progress) {
  const int d = degree.at_most(n.count);
  const std::vector<engine::WideMask> list = points.values();
  const engine::VanishingSpace space =
      run_released(threads, progress, [&](engine::Control& control) {
        return engine::vanishing_space(list, n.count, d, wanted(basis), control);
      });
  return space_tuple(space, basis);
}

Ref bi_affine_space(WideVariables n, Integers points, Integer inputs, Flag basis, Threads threads,
                    Progress progress) {
  if (!inputs.within(0, n.count)) inputs.out_of_range("inputs", 0, n.count);
  const std::vector<engine::WideMask> list = points.values();
  const engine::VanishingSpace space =
      run_released(threads, progress, [&](engine::Control& control) {
        const int x = static_cast<int>(inputs.value);
        return engine::vanishing_space(list, engine::bi_affine_monomials(x, n.count - x),
                                       wanted(basis), control);
      });
  return space_tuple(space, basis);
}

Ref component_immunities(Variables n, Variables m, Integers values, Threads threads,
                         Progress progress, Method method, Seed seed) {
  const std::uint64_t size = std::uint64_t{1} << n.count;
  if (values.count() != size) {
    raise_format(PyExc_ValueError, "an S-box of %d input bits has 2**%d = %llu values, not %zu",
                 n.count, n.count, static_cast<unsigned long long>(size), values.count());
  }
  const engine::SBox sbox{n.count, m.count, values.values()};
  const std::vector<int> immunity = run_released(threads, progress, [&](engine::Control& control) {
    const engine::MemoryReservation memory(((std::uint64_t{1} << m.count) - 1) * sizeof(int),
                                           "the immunity of every component");
    return engine::component_immunities(sbox, control, {method.value, seed.value});
  });
  Ref bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(immunity.size())));
  char* into = PyBytes_AS_STRING(bytes.get());
  for (std::size_t v = 0; v < immunity.size(); ++v) into[v] = static_cast<char>(immunity[v]);
  return bytes;
}

// The most chains a try may have: the width of its lingen grows with it.
constexpr long max_blocks = 256;

Ref system_costs(Variables n, Bits bits, Integer chains) {
  if (!chains.within(1, max_blocks)) chains.out_of_range("chains", 1, max_blocks);
  // The weights alone take seconds at 30 variables: the lock is let go.
  const std::vector<engine::SystemCosts> costs =
      run(n, bits, Threads{1}, Progress{Py_None}, [&](const TruthTable& f, engine::Control&) {
        return engine::system_costs(f, static_cast<unsigned>(chains.value));
      });
  ListBuilder list(costs.size());
  for (const engine::SystemCosts& c : costs) {
    auto pair = [](const auto& two, auto make) { return tuple_of(make(two[0]), make(two[1])); };
    auto real = [](double x) { return check(PyFloat_FromDouble(x)); };
    list.append(tuple_of(pair(c.dense, real), pair(c.dense_memory, to_int), pair(c.black_box, real),
                         pair(c.black_box_memory, to_int)));
  }
  return std::move(list).finish();
}

Ref bytes_of_table(const TruthTable& t) {
  const auto size = static_cast<std::size_t>((t.points() + 7) / 8);
  Ref bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<unsigned char>(t.bits()[i / 8] >> (8 * (i % 8)));
  }
  return bytes;
}

Ref int32_bytes(const std::vector<std::int32_t>& values) {
  Ref bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(4 * values.size())));
  auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, values.data(), 4 * values.size());
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto v = static_cast<std::uint32_t>(values[i]);
      for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<unsigned char>(v >> (8 * b));
    }
  }
  return bytes;
}

Ref walsh_spectrum(Variables n, Bits bits, Threads threads, Progress progress) {
  return int32_bytes(
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        return engine::walsh_spectrum(f, control);
      }));
}

Ref algebraic_normal_form(Variables n, Bits bits, Threads threads, Progress progress) {
  const TruthTable anf =
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        return engine::algebraic_normal_form(f, control);
      });
  return tuple_of(bytes_of_table(anf), check(PyLong_FromLong(engine::algebraic_degree(anf))));
}

Ref spectra(Variables n, Bits bits, Threads threads, Progress progress) {
  struct Result {
    TruthTable anf;
    int degree;
    std::vector<std::int32_t> walsh;
    engine::SpectralProfile profile;
  };
  const Result r =
      run(n, bits, threads, progress, [&](const TruthTable& f, engine::Control& control) {
        TruthTable anf = engine::algebraic_normal_form(f, control);
        const int degree = engine::algebraic_degree(anf);
        std::vector<std::int32_t> walsh = engine::walsh_spectrum(f, control);
        engine::SpectralProfile profile = engine::spectral_profile(walsh, n.count, control);
        return Result{std::move(anf), degree, std::move(walsh), std::move(profile)};
      });
  Ref walsh = int32_bytes(r.walsh);
  ListBuilder distribution(r.profile.distribution.size());
  for (const auto& [magnitude, count] : r.profile.distribution) {
    distribution.append(tuple_of(to_int(magnitude), to_int(count)));
  }
  return tuple_of(bytes_of_table(r.anf), check(PyLong_FromLong(r.degree)), std::move(walsh),
                  to_int(r.profile.nonlinearity),
                  check(PyLong_FromLong(r.profile.correlation_immunity)),
                  to_int(r.profile.absolute_indicator), std::move(distribution).finish());
}

// --- One try of the black-box solver in stages, for a cluster ---------------------
//
// Each stage is a pure function of the system (n, bits, degree), the try
// (seed, attempt, blocks) and what the stage before returned, so that any
// process can run any chain of it, and a chain can stop and go on.  The
// states travel as bytes: vectors of 64-bit words, little-endian.

// A buffer of 64-bit words, little-endian.
struct Words {
  std::vector<Word> value;
  static Words from_python(PyObject* object, const char*) {
    Py_buffer view{};
    if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0) throw_pending();
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
    if (view.len % 8 != 0) {
      raise_format(PyExc_ValueError, "a state of %zd bytes is not one of 8-byte words", view.len);
    }
    Words words;
    words.value.resize(static_cast<std::size_t>(view.len) / 8);
    const auto* bytes = static_cast<const unsigned char*>(view.buf);
    for (std::size_t i = 0; i < static_cast<std::size_t>(view.len); ++i) {
      words.value[i / 8] |= Word{bytes[i]} << (8 * (i % 8));
    }
    return words;
  }
};

Ref bytes_of(const Word* words, std::size_t count) {
  Ref bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(8 * count)));
  auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
  for (std::size_t i = 0; i < 8 * count; ++i) {
    out[i] = static_cast<unsigned char>(words[i / 8] >> (8 * (i % 8)));
  }
  return bytes;
}

struct Count {
  std::uint64_t value;
  static Count from_python(PyObject* object, const char* name) {
    const Integer count = Integer::read(object);
    if (!count.within(0, 1L << 40)) count.out_of_range(name, 0, 1L << 40);
    return {static_cast<std::uint64_t>(count.value)};
  }
};

struct Blocks {
  unsigned count;
  static Blocks from_python(PyObject* object, const char* name) {
    const Integer blocks = Integer::read(object);
    if (!blocks.within(1, max_blocks)) blocks.out_of_range(name, 1, max_blocks);
    return {static_cast<unsigned>(blocks.value)};
  }
};

// The try a stage belongs to.
struct SplitTry {
  int degree;
  std::uint64_t seed;
  unsigned blocks;
};

// Runs `work(try, control)` on a fresh Try of the system, lock released.
template <class Work>
auto run_split(Variables n, const Bits& bits, const Degree& degree, Seed seed, Count attempt,
               Blocks blocks, Threads threads, Progress progress, Work work) {
  const int d = degree.at_most(n.count);
  return run(n, bits, threads, progress, [&](const TruthTable& s, engine::Control& control) {
    engine::DirectSystem system(s, d);
    const engine::MemoryReservation reservation(
        engine::probe_memory(system.cols(), system.rows(), blocks.count),
        "the black-box solver's sequences");
    const std::uint64_t seed_of_try =
        engine::try_seed(seed.value, s, d, static_cast<unsigned>(attempt.value));
    engine::Try one(system, seed_of_try, blocks.count);
    return work(one, system, control);
  });
}

Ref split_plan(Variables n, Bits bits, Degree degree, Blocks blocks) {
  const int d = degree.at_most(n.count);
  const TruthTable s(n.count, bits.words(n));
  const std::uint64_t columns = engine::monomials_up_to_count(n.count, d);
  const std::uint64_t rows = s.weight();
  return tuple_of(to_int(columns), to_int(rows),
                  to_int(engine::sequence_terms(columns, rows, blocks.count)),
                  to_int(engine::DirectSystem::memory(s, d) +
                         engine::probe_memory(columns, rows, blocks.count)));
}

unsigned block_of(const Integer& block, Blocks blocks) {
  if (!block.within(0, static_cast<long>(blocks.count) - 1))
    block.out_of_range("block", 0, static_cast<long>(blocks.count) - 1);
  return static_cast<unsigned>(block.value);
}

// Inside the work, without the interpreter's lock: a C++ exception, raised
// as ValueError once the lock is held again.
void check_vector(const std::vector<Word>& v, std::size_t size, const char* what) {
  if (!v.empty() && v.size() != size) {
    throw std::invalid_argument(std::string(what) + " has " + std::to_string(v.size()) +
                                " words, not the system's " + std::to_string(size));
  }
}

// A chain's state, checked against a chain of `steps` steps on `size`
// columns, and the steps that `count` asks of it from there.
std::uint64_t steps_left(const engine::ChainState& state, bool summed, std::uint64_t steps,
                         std::size_t size, std::uint64_t count, const char* stage) {
  if ((state.done > 0) != !state.vector.empty() ||
      (summed && state.vector.empty() != state.w.empty()) || state.done > steps) {
    throw std::invalid_argument(std::string("a ") + stage + " state that no chain of this try has");
  }
  check_vector(state.vector, size, "the chain's vector");
  if (summed) check_vector(state.w, size, "the chain's sum");
  return std::min(count, steps - state.done);
}

Ref split_sequence(Variables n, Bits bits, Degree degree, Seed seed, Count attempt, Blocks blocks,
                   Integer block, Count done, Words vector, Count count, Threads threads,
                   Progress progress) {
  const unsigned b = block_of(block, blocks);
  std::vector<engine::Block> out;
  engine::ChainState state{done.value, std::move(vector.value), {}};
  run_split(n, bits, degree, seed, attempt, blocks, threads, progress,
            [&](engine::Try& one, engine::DirectSystem& system, engine::Control& control) {
              const std::uint64_t steps =
                  steps_left(state, false, one.terms(), system.cols(), count.value, "sequence");
              control.plan(steps);
              one.sequence_steps(b, state, steps, out, control);
              return 0;
            });
  return tuple_of(to_int(state.done), bytes_of(state.vector.data(), state.vector.size()),
                  bytes_of(out.empty() ? nullptr : out[0].data(), 64 * out.size()));
}

// A conclusion as words: status, rank, count, the count degrees, then the
// coefficients of each in turn.
std::vector<Word> words_of(const engine::Conclusion& c) {
  std::vector<Word> words{static_cast<Word>(c.status), c.rank, c.degrees.size()};
  words.insert(words.end(), c.degrees.begin(), c.degrees.end());
  for (const auto& v : c.coefficients) words.insert(words.end(), v.begin(), v.end());
  return words;
}

engine::Conclusion conclusion_of(const std::vector<Word>& words, unsigned blocks,
                                 std::uint64_t columns) {
  auto invalid = [] { throw std::invalid_argument("a plan that no conclusion of this try gave"); };
  if (words.size() < 3 || words[0] > 2 || words[1] > columns || words[2] > 64) invalid();
  engine::Conclusion c;
  c.status = static_cast<engine::Conclusion::Status>(words[0]);
  c.rank = words[1];
  std::size_t at = 3 + words[2];
  if (words.size() < at) invalid();
  c.degrees.assign(words.begin() + 3, words.begin() + static_cast<std::ptrdiff_t>(at));
  for (const std::uint64_t d : c.degrees) {
    if (d > columns || words.size() - at < (d + 1) * blocks) invalid();
    c.coefficients.emplace_back(words.begin() + static_cast<std::ptrdiff_t>(at),
                                words.begin() + static_cast<std::ptrdiff_t>(at + (d + 1) * blocks));
    at += (d + 1) * blocks;
  }
  if (at != words.size()) invalid();
  return c;
}

Ref split_conclude(Variables n, Bits bits, Degree degree, Seed seed, Count attempt, Blocks blocks,
                   Words chains, Threads threads, Progress progress) {
  const std::vector<Word> words = run_split(
      n, bits, degree, seed, attempt, blocks, threads, progress,
      [&](engine::Try& one, engine::DirectSystem&, engine::Control& control) {
        const std::size_t per_chain = 64 * one.terms() * blocks.count;
        if (chains.value.size() != per_chain * blocks.count) {
          throw std::invalid_argument("the sequence chains are not all whole");
        }
        std::vector<std::vector<engine::Block>> split(blocks.count);
        for (unsigned b = 0; b < blocks.count; ++b) {
          split[b].resize(one.terms() * blocks.count);
          std::memcpy(split[b].data(), chains.value.data() + b * per_chain, 8 * per_chain);
        }
        chains.value = {};
        return words_of(one.conclude(split, control));
      });
  const engine::Conclusion c = conclusion_of(words, blocks.count, ~std::uint64_t{0});
  return tuple_of(check(PyLong_FromLong(c.status)), to_int(c.rank), to_int(c.steps()),
                  bytes_of(words.data(), words.size()));
}

Ref split_combination(Variables n, Bits bits, Degree degree, Seed seed, Count attempt,
                      Blocks blocks, Integer block, Words plan, Count done, Words vector, Words w,
                      Count count, Threads threads, Progress progress) {
  const unsigned b = block_of(block, blocks);
  engine::ChainState state{done.value, std::move(vector.value), std::move(w.value)};
  run_split(n, bits, degree, seed, attempt, blocks, threads, progress,
            [&](engine::Try& one, engine::DirectSystem& system, engine::Control& control) {
              const engine::Conclusion c = conclusion_of(plan.value, blocks.count, system.cols());
              const std::uint64_t steps =
                  steps_left(state, true, c.steps(), system.cols(), count.value, "combination");
              control.plan(steps);
              one.combination_steps(b, c, state, steps, control);
              return 0;
            });
  return tuple_of(to_int(state.done), bytes_of(state.vector.data(), state.vector.size()),
                  bytes_of(state.w.data(), state.w.size()));
}

Ref split_finish(Variables n, Bits bits, Degree degree, Seed seed, Count attempt, Blocks blocks,
                 Words plan, Words w, Threads threads, Progress progress) {
  std::vector<Mask> monomials;
  const engine::KernelProbe probe = run_split(
      n, bits, degree, seed, attempt, blocks, threads, progress,
      [&](engine::Try& one, engine::DirectSystem& system, engine::Control& control) {
        const engine::Conclusion c = conclusion_of(plan.value, blocks.count, system.cols());
        if (c.status != engine::Conclusion::kernel) {
          throw std::invalid_argument("a plan with no kernel to finish");
        }
        check_vector(w.value, system.cols(), "the kernel combination");
        monomials = system.monomials();
        return one.finish(c, w.value, control);
      });
  ListBuilder list(probe.annihilators.size());
  for (const auto& v : probe.annihilators) {
    std::vector<Mask> terms;
    for (std::size_t j = 0; j < monomials.size(); ++j) {
      if (v[j / 64] >> (j % 64) & 1) terms.push_back(monomials[j]);
    }
    list.append(terms_list(terms));
  }
  return tuple_of(std::move(list).finish(), to_int(probe.dimension_at_most),
                  check(PyBool_FromLong(probe.full_rank)));
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
    Function<"fast_algebraic_immunity", &fast_algebraic_immunity,
             "(value, from_annihilator, g, degree_g, degree_product, least, searched, immunity): "
             "FAI(f) = min(2 AI, deg g + deg(f g) over 1 <= deg g < AI); a witness g (monomial "
             "masks, empty when 2 AI is the least); for e = 1 .. AI - 1 the least deg(f g) over "
             "g of degree <= e (-1: none below searched[e - 1]); and algebraic_immunity's tuple.",
             "n", "bits", "threads", "progress", "method", "seed">::definition(),
    Function<"algebraic_normal_form", &algebraic_normal_form,
             "(anf, degree): f's ANF as a packed table (bit m the coefficient of monomial m) "
             "and its degree (-1 for 0).",
             "n", "bits", "threads", "progress">::definition(),
    Function<"walsh_spectrum", &walsh_spectrum,
             "W(a) = sum_x (-1)^(f(x) + a.x) for a = 0 .. 2^n - 1, as little-endian int32s.", "n",
             "bits", "threads", "progress">::definition(),
    Function<"spectra", &spectra,
             "(anf, degree, walsh, nonlinearity, correlation_immunity, absolute_indicator, "
             "distribution): f's ANF as a packed table (bit m the coefficient of monomial m), "
             "its degree (-1 for 0), W(a) = sum_x (-1)^(f(x) + a.x) as little-endian int32s, "
             "2^(n-1) - max|W|/2, the largest t with W(a) = 0 for all a of weight 1 .. t, "
             "max over a != 0 of the autocorrelation's |r(a)|, and [(|W|, count)] sorted.",
             "n", "bits", "threads", "progress">::definition(),
    Function<"vanishing_space", &vanishing_space,
             "(dimension, basis): the polynomials of degree at most `degree` in n variables "
             "that vanish at every point (little-endian uint64s, bit i the value of x_i); the "
             "canonical basis, each polynomial a list of monomial masks, when `basis` is true, "
             "else None.",
             "n", "points", "degree", "basis", "threads", "progress">::definition(),
    Function<"bi_affine_space", &bi_affine_space,
             "(dimension, basis): the same over the monomials 1, x_i, y_j and x_i y_j, where "
             "x_0 .. x_(inputs-1) are the first `inputs` variables and y the rest.",
             "n", "points", "inputs", "basis", "threads", "progress">::definition(),
    Function<"component_immunities", &component_immunities,
             "bytes of AI(v.S) for v = 1 .. 2**m - 1 (byte v - 1), S: F_2^n -> F_2^m given by "
             "its 2**n values as little-endian uint64s, each below 2**m.",
             "n", "m", "values", "threads", "progress", "method", "seed">::definition(),
    Function<"system_costs", &system_costs,
             "[((dense_f, dense_complement), (their bytes), (black_box_f, black_box_complement), "
             "(their bytes)) for degree 0 .. bound]: what each solver's system of each side "
             "costs, in the solver's cost units, up to the degree at which some side surely has "
             "an annihilator; the black box's with `chains` chains a try.",
             "n", "bits", "chains">::definition(),
    Function<"_split_plan", &split_plan,
             "(columns, rows, terms, memory): the size of Ann_degree(f)'s system, the "
             "products of each sequence chain of a try of `blocks` chains, and the bytes a "
             "process running a stage holds.",
             "n", "bits", "degree", "blocks">::definition(),
    Function<"_split_sequence", &split_sequence,
             "(done, vector, blocks): sequence chain `block` of a try, `count` steps on from "
             "(done, vector) (0 and b\"\" at the start), and the sequence's blocks of those "
             "steps.",
             "n", "bits", "degree", "seed", "attempt", "blocks", "block", "done", "vector", "count",
             "threads", "progress">::definition(),
    Function<"_split_conclude", &split_conclude,
             "(status, rank, steps, plan): lingen on the whole chains (concatenated by chain), "
             "checked; status 0 proves nothing, 1 full rank, 2 a kernel, whose combination "
             "chains take `steps` steps each.",
             "n", "bits", "degree", "seed", "attempt", "blocks", "chains", "threads",
             "progress">::definition(),
    Function<"_split_combination", &split_combination,
             "(done, vector, w): combination chain `block`, `count` steps on from "
             "(done, vector, w) (0, b\"\", b\"\" at the start).",
             "n", "bits", "degree", "seed", "attempt", "blocks", "block", "plan", "done", "vector",
             "w", "count", "threads", "progress">::definition(),
    Function<"_split_finish", &split_finish,
             "(annihilators, dimension_at_most, full_rank): the annihilators from the sum of "
             "the combination chains' w, each checked, and what is proved of the dimension.",
             "n", "bits", "degree", "seed", "attempt", "blocks", "plan", "w", "threads",
             "progress">::definition(),
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
