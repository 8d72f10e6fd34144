// Fuzzes the module through the interpreter, as a Python caller would reach it.
//
// The interpreter is embedded with quillmat built in.  Each input is a small
// program: it builds argument objects (ints of any size, strs with lone
// surrogates, bytes, lists, tuples, and hostile objects whose __index__,
// __len__, __iter__ or __next__ raise, return the wrong type, change a list
// being converted, or call back into a matrix), creates matrices and calls
// every method and function with them, by position and by keyword.  Python
// exceptions are the expected way to fail and are swallowed.  Findings abort:
// a sanitizer report, a SystemError (a null result without an exception, or a
// result with one), a C++ exception that reached the call barrier, a borrow
// flag left open, or a receiver changed by a call that failed or only reads.
//
// The entry points, their parameters and which of them change their receiver
// come from the tests' description of the surface, tests/support/surface.py:
// the interpreter is configured with the tests' support folder under
// QUILLMAT_TESTS_DIR (scripts/fuzz defines it) on its module path.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "python/matrix_object.hpp"

#ifndef QUILLMAT_TESTS_DIR
#error "QUILLMAT_TESTS_DIR must name the tests directory, whose support/ holds surface.py"
#endif

extern "C" PyObject* PyInit_quillmat();

namespace {

using quillmat::python::MatrixObject;

PyObject* module = nullptr;   // quillmat
PyObject* helpers = nullptr;  // the namespace of kHelpers
PyObject* matrix_type = nullptr;
PyObject* panic_type = nullptr;
PyObject* builtin_repr = nullptr;

// An entry point of the surface, as tests/support/surface.py describes it.
struct EntryPoint {
  std::string name;
  std::string form;  // "method", "static", "new", "repr" or "function"
  bool changes;      // it changes its receiver
};
std::vector<EntryPoint> entry_points;
std::vector<PyObject*> keyword_names;  // every parameter name, interned, and one that none has

// Hostile objects, written in Python and driven by small integer plans.
constexpr const char* kHelpers = R"PY(
import quillmat
import surface
M = quillmat.Matrix
mats, objs, lists, spent = [], [], [], []   # the current input's, emptied after it
try:
    M([]).get(0, 0)
except BaseException as e:
    Panic = type(e)

# The entry points: Matrix's methods, then its slots, then the module's functions.
ORDER = sorted(surface.ENTRIES, key=lambda e: (e.form == "function", e.name.startswith("__")))
ENTRY_POINTS = [(e.name, e.form, e.changes) for e in ORDER]
KEYWORDS = [*dict.fromkeys(p for e in ORDER for p in e.kinds), "bogus"]
# The sample call of each method, for callbacks into a matrix.
CALLS = [e for e in ORDER if e.receiver != "none"]
ERRORS = [TypeError, ValueError, KeyError, MemoryError, OverflowError, IndexError, RuntimeError,
          type("HostileTypeError", (TypeError,), {}), StopIteration]
WRONG = [1.5, "1", None, 2**70, -1, True, b"1", [1], (0, 1), 2**64, -2**63]

def act(plan):
    code, a, b = plan
    if code == 0:
        return a
    if code == 1:
        raise ERRORS[a % len(ERRORS)]("hostile")
    if code == 2 and mats:                       # call back into a matrix, maybe the receiver
        entry = CALLS[(a * 10 + b) % len(CALLS)]
        m = mats[a % len(mats)]
        try:
            surface.bound(entry, m)(*entry.args)
        except BaseException:
            if a & 1:
                raise                            # let it through (a PanicException resumes)
        return a
    if code == 3 and lists and len(spent) < 8:   # change a list, maybe the one being converted
        # A budget: inserting before the item being converted, every time it is met,
        # loops for ever in the module as in a Python for loop over the list.
        spent.append(code)
        target = lists[a % len(lists)]
        [target.append, lambda x: target.clear(), lambda x: target.pop() if target else 0,
         lambda x: target.insert(0, x)][b % 4](b)
        return a
    if code == 4:
        return WRONG[a % len(WRONG)]
    if code == 5:
        M([]).get(a, b)                          # an internal failure, let through
    if code == 6:                                # nested: a failure resumed two calls deep
        M([[1]]).get(Hook((5, a, b)), 0)
    if code == 7:
        raise Panic("raised in Python")
    return b

class Hook:
    def __init__(self, plan): self.plan = plan
    def __index__(self): return act(self.plan)

class BadIndex:
    def __index__(self): return "not an int"

class Seq:
    """A sequence: __len__ tells the truth, lies, raises or returns a wrong type;
    __iter__ yields the items and runs a plan at position `at`."""
    def __init__(self, items, length, at, plan):
        self.items, self.length, self.at, self.plan = items, length, at, plan
    def __len__(self):
        # No lie the allocator would have to refuse: under the sanitizer such a
        # reservation aborts instead of failing (the plain build's tests cover it).
        mode = self.length % 7
        if mode == 0: return len(self.items)
        if mode == 1: return 0
        if mode == 2: return 10**4
        if mode == 3: return len(self.items) + 1
        if mode == 4: raise ValueError("no len")
        if mode == 5: return 2**70
        return "seven"
    def __getitem__(self, i):
        if i == self.at: return act(self.plan)
        return self.items[i]
    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.at:
                yield act(self.plan)
            yield item

class IterOnly:
    def __init__(self, items): self.items = items
    def __iter__(self): return iter(self.items)

class StrSub(str): pass
class IntSub(int): pass
class TupleSub(tuple): pass
)PY";

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "python_fuzzer: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

PyObject* helper(const char* name) {
  PyObject* object = PyDict_GetItemString(helpers, name);  // borrowed
  if (object == nullptr) finding("a helper is missing");
  return object;
}

// The pending exception is a Python failure, as expected, unless it shows a
// defect of the module's own.
void swallow_exception() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) finding("a null result without an exception");
  if (PyErr_GivenExceptionMatches(exc, PyExc_SystemError)) {
    PyErr_SetRaisedException(exc);
    finding("SystemError");
  }
  if (Py_TYPE(exc) == reinterpret_cast<PyTypeObject*>(panic_type)) {
    PyObject* text = PyObject_Str(exc);
    const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
    if (utf8 && std::string(utf8).starts_with("unexpected C++ exception")) {
      std::fprintf(stderr, "%s\n", utf8);
      finding("a C++ exception reached the call barrier");
    }
    Py_XDECREF(text);
    PyErr_Clear();
  }
  Py_DECREF(exc);
}

struct Builder {
  FuzzedDataProvider& fdp;
  PyObject* stack;  // list of argument objects
  PyObject* mats;   // list of Matrix objects
  PyObject* lists;  // every list made, for hostile objects to change

  long small() { return fdp.ConsumeIntegralInRange<long>(0, 9); }

  PyObject* plan() {
    return Py_BuildValue("(lll)", fdp.ConsumeIntegralInRange<long>(0, 8), small(), small());
  }

  PyObject* pop() {
    const Py_ssize_t n = PyList_GET_SIZE(stack);
    if (n == 0) return PyLong_FromLong(0);
    PyObject* item = Py_NewRef(PyList_GET_ITEM(stack, n - 1));
    PyList_SetSlice(stack, n - 1, n, nullptr);
    return item;
  }

  PyObject* pop_list(Py_ssize_t count) {
    PyObject* list = PyList_New(0);
    for (Py_ssize_t i = 0; i < count && PyList_GET_SIZE(stack) > 0; ++i) {
      PyObject* item = pop();
      PyList_Insert(list, 0, item);
      Py_DECREF(item);
    }
    return list;
  }

  // Text: mostly digits, sometimes anything, including lone surrogates.
  PyObject* text() {
    static const char* const pieces[] = {
        "0", "1", "0", "1", "2", "9", "x", "\xc3\xa9", "\xed\xa0\x80", "\xf0\x9f\x98\x80", ""};
    std::string utf8;
    const auto n = fdp.ConsumeIntegralInRange<int>(0, 5);
    for (int i = 0; i < n; ++i) {
      utf8 += pieces[fdp.ConsumeIntegralInRange<std::size_t>(0, std::size(pieces) - 1)];
    }
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
  }

  PyObject* integer() {
    switch (fdp.ConsumeIntegralInRange(0, 4)) {
      case 0:
        return PyLong_FromLong(small());
      case 1:
        return PyLong_FromLongLong(fdp.ConsumeIntegral<long long>());
      case 2:
        return PyLong_FromUnsignedLongLong(fdp.ConsumeIntegral<unsigned long long>());
      case 3: {  // huge, either sign
        PyObject* base = PyLong_FromLong(fdp.ConsumeBool() ? 2 : -2);
        PyObject* exponent = PyLong_FromLong(fdp.ConsumeIntegralInRange<long>(60, 200));
        PyObject* value = PyNumber_Power(base, exponent, Py_None);
        Py_DECREF(base), Py_DECREF(exponent);
        return value;
      }
      default:
        return PyBool_FromLong(fdp.ConsumeBool());
    }
  }

  // One new object onto the stack.
  void push_one() {
    PyObject* object = nullptr;
    switch (fdp.ConsumeIntegralInRange(0, 13)) {
      case 0:
      case 1:
        object = integer();
        break;
      case 2:
        object = text();
        break;
      case 3: {
        const std::string bytes = fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange(0, 6));
        object = fdp.ConsumeBool() ? PyBytes_FromStringAndSize(
                                         bytes.data(), static_cast<Py_ssize_t>(bytes.size()))
                                   : PyByteArray_FromStringAndSize(
                                         bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        break;
      }
      case 4:
      case 5:
        object = pop_list(fdp.ConsumeIntegralInRange(0, 5));
        if (object && PyList_GET_SIZE(lists) < 16) PyList_Append(lists, object);
        break;
      case 6: {
        PyObject* list = pop_list(fdp.ConsumeIntegralInRange(0, 3));
        object = PyList_AsTuple(list);
        if (object && fdp.ConsumeBool()) {
          PyObject* sub = PyObject_CallOneArg(helper("TupleSub"), object);
          Py_SETREF(object, sub);
        }
        Py_DECREF(list);
        break;
      }
      case 7: {
        switch (fdp.ConsumeIntegralInRange(0, 4)) {
          case 0:
            object = Py_NewRef(Py_None);
            break;
          case 1:
            object = PyFloat_FromDouble(1.0);
            break;
          case 2:
            object = PyDict_New();
            break;
          case 3:
            object = PySet_New(nullptr);
            break;
          default:
            object = PyObject_CallNoArgs(helper("BadIndex"));
            break;
        }
        break;
      }
      case 8:
      case 9: {
        PyObject* p = plan();
        object = PyObject_CallOneArg(helper("Hook"), p);
        Py_XDECREF(p);
        break;
      }
      case 10: {
        PyObject* items = pop_list(fdp.ConsumeIntegralInRange(0, 4));
        const long length = small(), at = fdp.ConsumeIntegralInRange<long>(-1, 4);
        object = PyObject_CallFunction(helper("Seq"), "NllN", items, length, at, plan());
        break;
      }
      case 11: {
        PyObject* items = pop_list(fdp.ConsumeIntegralInRange(0, 3));
        object = PyObject_CallOneArg(helper("IterOnly"), items);
        Py_DECREF(items);
        break;
      }
      case 12: {
        PyObject* t = text();
        object = t ? PyObject_CallOneArg(helper("StrSub"), t) : nullptr;
        Py_XDECREF(t);
        break;
      }
      default: {
        const Py_ssize_t n = PyList_GET_SIZE(mats);
        object =
            n ? Py_NewRef(PyList_GET_ITEM(mats, fdp.ConsumeIntegralInRange<Py_ssize_t>(0, n - 1)))
              : PyLong_FromLong(small());
        break;
      }
    }
    if (object == nullptr) finding("building an argument failed");
    PyList_Append(stack, object);
    Py_DECREF(object);
  }
};

// compute_next reserves idx + 1 cells before it reads a monomial: an idx that
// is representable but far too large would have the sanitizer's allocator abort
// where the plain build raises MemoryError (covered by the tests and the leak
// gate), so such calls are left out.
bool absurd_reservation(const std::string& name, const std::vector<PyObject*>& argv,
                        Py_ssize_t positional, PyObject* kwnames) {
  if (name != "compute_next") return false;
  PyObject* idx = positional > 2 ? argv[2] : nullptr;
  for (Py_ssize_t i = 0; kwnames && i < PyTuple_GET_SIZE(kwnames); ++i) {
    if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, i), "idx") == 0) {
      idx = argv[static_cast<std::size_t>(positional + i)];
    }
  }
  if (idx == nullptr || !PyLong_Check(idx)) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(idx);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return value >= (1ull << 20) && value < static_cast<unsigned long long>(PTRDIFF_MAX);
}

quillmat::Rows snapshot(PyObject* matrix) {
  return reinterpret_cast<MatrixObject*>(matrix)->record.elements;
}

void check_borrows(PyObject* mats) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mats); ++i) {
    if (reinterpret_cast<MatrixObject*>(PyList_GET_ITEM(mats, i))->borrow_flag != 0) {
      finding("a borrow flag was left open");
    }
  }
}

void call(Builder& b) {
  FuzzedDataProvider& fdp = b.fdp;
  const EntryPoint& entry =
      entry_points[fdp.ConsumeIntegralInRange<std::size_t>(0, entry_points.size() - 1)];
  const std::string& name = entry.name;
  const Py_ssize_t nmats = PyList_GET_SIZE(b.mats);
  PyObject* receiver =
      nmats ? PyList_GET_ITEM(b.mats, fdp.ConsumeIntegralInRange<Py_ssize_t>(0, nmats - 1))
            : nullptr;
  Py_XINCREF(receiver);

  // Arguments: the top of the stack, the last few of them passed by keyword.
  const Py_ssize_t total = fdp.ConsumeIntegralInRange<Py_ssize_t>(0, 5);
  PyObject* args = b.pop_list(total);
  const Py_ssize_t keywords = fdp.ConsumeIntegralInRange<Py_ssize_t>(0, PyList_GET_SIZE(args));
  PyObject* kwnames = keywords ? PyTuple_New(keywords) : nullptr;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    const std::size_t k = fdp.ConsumeIntegralInRange<std::size_t>(0, keyword_names.size() - 1);
    PyTuple_SET_ITEM(kwnames, i, Py_NewRef(keyword_names[k]));
  }
  // Keyword names must be distinct for a vector call.
  for (Py_ssize_t i = 0; kwnames && i < keywords; ++i) {
    for (Py_ssize_t j = 0; j < i; ++j) {
      if (PyTuple_GET_ITEM(kwnames, i) == PyTuple_GET_ITEM(kwnames, j)) {  // interned
        Py_CLEAR(kwnames);
        break;
      }
    }
  }
  const Py_ssize_t nargs = PyList_GET_SIZE(args) - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);

  PyObject* callable = nullptr;
  bool on_receiver = false;
  const bool repr = entry.form == "repr";
  if (entry.form == "new") {
    callable = Py_NewRef(matrix_type);
  } else if (entry.form == "function") {
    callable = PyObject_GetAttrString(module, name.c_str());
  } else if (repr) {
    callable = Py_NewRef(builtin_repr);
    on_receiver = true;
  } else if (receiver != nullptr && entry.form == "method") {
    callable = PyObject_GetAttrString(receiver, name.c_str());
    on_receiver = true;
  } else {
    callable = PyObject_GetAttrString(matrix_type, name.c_str());
  }
  if (callable == nullptr) finding("a method is missing");

  std::vector<PyObject*> argv;
  if (repr) {
    if (receiver == nullptr) {
      Py_DECREF(callable), Py_DECREF(args), Py_XDECREF(kwnames);
      return;
    }
    argv.push_back(receiver);
    Py_CLEAR(kwnames);
  } else {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args); ++i) argv.push_back(PyList_GET_ITEM(args, i));
  }
  const Py_ssize_t positional = repr ? 1 : std::max<Py_ssize_t>(nargs, 0);

  if (absurd_reservation(name, argv, positional, kwnames)) {
    Py_DECREF(callable), Py_DECREF(args), Py_XDECREF(kwnames), Py_XDECREF(receiver);
    return;
  }
  const quillmat::Rows before = on_receiver && receiver ? snapshot(receiver) : quillmat::Rows{};
  PyObject* result =
      PyObject_Vectorcall(callable, argv.data(), static_cast<std::size_t>(positional), kwnames);
  const bool changes = entry.changes;
  if (result == nullptr) {
    swallow_exception();
  }
  if (on_receiver && receiver && (result == nullptr || !changes) && snapshot(receiver) != before) {
    finding("a call that failed or only reads changed its receiver");
  }
  if (result != nullptr) {
    if (PyErr_Occurred()) finding("a result with an exception set");
    // New matrices join the pool; everything else may be an argument later.
    auto is_matrix = [](PyObject* o) {
      return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(matrix_type));
    };
    if (is_matrix(result)) {
      PyList_Append(b.mats, result);
    } else if (PyTuple_Check(result) && PyTuple_GET_SIZE(result) == 2 &&
               is_matrix(PyTuple_GET_ITEM(result, 0))) {
      PyList_Append(b.mats, PyTuple_GET_ITEM(result, 0));
      PyList_Append(b.stack, PyTuple_GET_ITEM(result, 1));
    } else {
      PyList_Append(b.stack, result);
    }
    Py_DECREF(result);
  }
  check_borrows(b.mats);
  Py_DECREF(callable), Py_DECREF(args), Py_XDECREF(kwnames), Py_XDECREF(receiver);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The last-row reduction writes "inverting" to file descriptor 1.
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);

  PyImport_AppendInittab("quillmat", PyInit_quillmat);
  PyPreConfig preconfig;
  PyPreConfig_InitPythonConfig(&preconfig);
  preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;  // every object is seen by the sanitizer
  if (PyStatus_Exception(Py_PreInitialize(&preconfig))) finding("pre-initialisation");
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.install_signal_handlers = 0;  // the fuzzer's own
  config.parse_argv = 0;
  config.site_import = 0;
  if (PyStatus_Exception(PyConfig_SetBytesString(&config, &config.pythonpath_env,
                                                 QUILLMAT_TESTS_DIR "/support"))) {
    finding("the module path");
  }
  const PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) finding("initialisation");

  module = PyImport_ImportModule("quillmat");
  if (module == nullptr) finding("import quillmat");
  matrix_type = PyObject_GetAttrString(module, "Matrix");
  helpers = PyDict_New();
  PyDict_SetItemString(helpers, "__builtins__", PyEval_GetBuiltins());
  PyObject* done = PyRun_String(kHelpers, Py_file_input, helpers, helpers);
  if (done == nullptr) finding("the helpers");
  Py_DECREF(done);
  panic_type = Py_NewRef(helper("Panic"));
  PyObject* points = helper("ENTRY_POINTS");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(points); ++i) {
    PyObject* point = PyList_GET_ITEM(points, i);
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(point, 0));
    const char* form = PyUnicode_AsUTF8(PyTuple_GET_ITEM(point, 1));
    if (name == nullptr || form == nullptr) finding("an entry point");
    entry_points.push_back({name, form, PyTuple_GET_ITEM(point, 2) == Py_True});
  }
  PyObject* names = helper("KEYWORDS");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    PyObject* keyword = Py_NewRef(PyList_GET_ITEM(names, i));
    PyUnicode_InternInPlace(&keyword);  // equal keywords are then the same object
    keyword_names.push_back(keyword);
  }
  if (entry_points.empty() || keyword_names.empty()) finding("no entry points");
  PyObject* builtins = PyImport_ImportModule("builtins");
  if (builtins == nullptr) finding("import builtins");
  builtin_repr = PyObject_GetAttrString(builtins, "repr");
  Py_DECREF(builtins);
  // Resumed failures print their traceback through sys.stderr: keep it quiet.
  PyObject* devnull = PyRun_String("open('/dev/null', 'w')", Py_eval_input, helpers, helpers);
  if (devnull == nullptr || PySys_SetObject("stderr", devnull) < 0) finding("sys.stderr");
  Py_DECREF(devnull);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  PyObject* stack = PyDict_GetItemString(helpers, "objs");
  PyObject* mats = PyDict_GetItemString(helpers, "mats");
  PyObject* lists = PyDict_GetItemString(helpers, "lists");
  Builder b{fdp, stack, mats, lists};
  for (int step = 0; step < 48 && fdp.remaining_bytes() > 0; ++step) {
    if (PyList_GET_SIZE(stack) > 32) PyList_SetSlice(stack, 0, 16, nullptr);
    if (PyList_GET_SIZE(mats) > 8) PyList_SetSlice(mats, 0, 4, nullptr);
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
      case 0:
      case 1:
        b.push_one();
        break;
      default:
        call(b);
        break;
    }
    if (PyErr_Occurred()) finding("an exception was left pending");
  }
  PyList_SetSlice(stack, 0, PyList_GET_SIZE(stack), nullptr);
  PyList_SetSlice(mats, 0, PyList_GET_SIZE(mats), nullptr);
  PyList_SetSlice(lists, 0, PyList_GET_SIZE(lists), nullptr);
  PyObject* spent = PyDict_GetItemString(helpers, "spent");
  PyList_SetSlice(spent, 0, PyList_GET_SIZE(spent), nullptr);
  return 0;
}
