// quillmat._engine: the door of the algebraic-immunity engine.
//
// Each function takes a truth table as a bytes-like object of one byte per
// point, 0 or 1, of length 2**n; `threads`, the most threads the work may
// use; and `progress`, None or a callable progress(done, total) called now
// and then while the work runs.  The work runs with the interpreter lock
// released; a signal handler or progress callable that raises stops it, and
// its exception is raised.  quillmat.immunity checks and converts the
// arguments that users pass; this module checks them again, so that no call
// can crash it.
#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/immunity.hpp"
#include "engine_python/call.hpp"
#include "engine_python/door.hpp"

namespace quillmat::engine_python {
namespace {

using engine::Mask;
using engine::TruthTable;
using engine::Word;

class Buffer {
 public:
  explicit Buffer(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw_pending();
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { PyBuffer_Release(&view_); }
  const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

TruthTable read_table(PyObject* object) {
  const Buffer buffer(object);
  const std::size_t size = buffer.size();
  int n = 0;
  while (n <= engine::max_variables && (std::size_t{1} << n) < size) ++n;
  if (n > engine::max_variables || (std::size_t{1} << n) != size) {
    raise(PyExc_ValueError, "a truth table has 2**n entries, n <= 30");
  }
  std::vector<Word> bits(engine::words_for(size));
  for (std::size_t x = 0; x < size; ++x) {
    const unsigned char value = buffer.data()[x];
    if (value > 1) raise(PyExc_ValueError, "a truth table holds 0 and 1 only");
    bits[x / engine::word_bits] |= Word{value} << (x % engine::word_bits);
  }
  return TruthTable(n, std::move(bits));
}

long read_int(PyObject* object, long low, long high, const char* what) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) throw_pending();
  if (value < low || value > high) {
    PyErr_Format(PyExc_ValueError, "%s must be from %ld to %ld, not %ld", what, low, high, value);
    throw_pending();
  }
  return value;
}

// At least 1; more than 1024 asks for all there are.
unsigned read_threads(PyObject* object) {
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) throw_pending();
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    raise(PyExc_ValueError, "threads must be at least 1");
  }
  return overflow > 0 ? 1024u : static_cast<unsigned>(std::min(value, 1024L));
}

void expect_arguments(const char* name, Py_ssize_t given, Py_ssize_t expected) {
  if (given != expected) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, given);
    throw_pending();
  }
}

Ref to_int(std::uint64_t value) {
  return check(PyLong_FromUnsignedLongLong(value));
}

Ref terms_list(const std::vector<Mask>& terms) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(terms.size())));
  for (std::size_t i = 0; i < terms.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_int(terms[i]).release());
  }
  return list;
}

PyObject* algebraic_immunity(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return barrier([&] {
    expect_arguments("algebraic_immunity", nargs, 3);
    const TruthTable f = read_table(args[0]);
    Call call(args[2], read_threads(args[1]));
    const engine::Immunity result =
        call.run([&](engine::Control& c) { return engine::algebraic_immunity(f, c); });
    Ref terms = terms_list(result.annihilator);
    return check(Py_BuildValue("(iNNNN)", result.degree, PyBool_FromLong(result.of_complement),
                               terms.release(), to_int(result.dimensions.of_f).release(),
                               to_int(result.dimensions.of_complement).release()))
        .release();
  });
}

PyObject* immunity_profile(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return barrier([&] {
    expect_arguments("immunity_profile", nargs, 4);
    const TruthTable f = read_table(args[0]);
    const int max_degree =
        static_cast<int>(read_int(args[1], 0, engine::max_variables, "max_degree"));
    Call call(args[3], read_threads(args[2]));
    const auto profile =
        call.run([&](engine::Control& c) { return engine::immunity_profile(f, max_degree, c); });
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(profile.size())));
    for (std::size_t d = 0; d < profile.size(); ++d) {
      Ref pair = check(Py_BuildValue("(NN)", to_int(profile[d].of_f).release(),
                                     to_int(profile[d].of_complement).release()));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(d), pair.release());
    }
    return list.release();
  });
}

PyObject* annihilators(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return barrier([&] {
    expect_arguments("annihilators", nargs, 4);
    const TruthTable f = read_table(args[0]);
    const int degree = static_cast<int>(read_int(args[1], 0, engine::max_variables, "degree"));
    Call call(args[3], read_threads(args[2]));
    const auto basis =
        call.run([&](engine::Control& c) { return engine::annihilators(f, degree, c); });
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(basis.size())));
    for (std::size_t i = 0; i < basis.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), terms_list(basis[i]).release());
    }
    return list.release();
  });
}

int exec_module(PyObject* module) {
  return PyModule_AddIntConstant(module, "max_variables", engine::max_variables);
}

PyMethodDef methods[] = {
    {"algebraic_immunity",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&algebraic_immunity)),
     METH_FASTCALL,
     "algebraic_immunity(table, threads, progress, /)\n--\n\n"
     "(degree, of_complement, terms, dim_f, dim_complement) of a truth table."},
    {"immunity_profile",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&immunity_profile)), METH_FASTCALL,
     "immunity_profile(table, max_degree, threads, progress, /)\n--\n\n"
     "[(dim_f, dim_complement) for degree 0 .. max_degree]."},
    {"annihilators", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&annihilators)),
     METH_FASTCALL,
     "annihilators(table, degree, threads, progress, /)\n--\n\n"
     "The canonical basis of the annihilators of degree <= degree, as lists of monomial masks."},
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
    "The native algebraic-immunity engine behind quillmat.immunity.",
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
