// The module: its one exported entry point and the attributes it adds.
#include <atomic>
#include <cstdint>

#include "matrix/interrupt.hpp"
#include "matrix/verify.hpp"
#include "python/method.hpp"

namespace quillmat::python {
namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quillmat",
    "Small dense matrices over GF(2), implemented natively for Python.",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;  // created once, never released

Ref interned(const char* text) {
  PyObject* string = PyUnicode_FromString(text);
  if (string != nullptr) PyUnicode_InternInPlace(&string);
  return check(string);
}

// The module's __all__, created as an empty list on first use.
Ref all_list(PyObject* module) {
  static PyObject* all_name = interned("__all__").release();
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PythonError error = take_pending();
    if (!PyErr_GivenExceptionMatches(error.exception(), PyExc_AttributeError)) throw error;
    all = check(PyList_New(0));
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) throw_pending();
  }
  if (!PyList_Check(all.get())) raise_cannot_convert(all.get(), "PyList");
  return all;
}

// Appends `name` to __all__, then sets the attribute.
void add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  Ref all = all_list(module);
  if (PyList_Append(all.get(), name) < 0) {
    throw Failure("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, value) < 0) throw_pending();
}

PyMethodDef verify_definition =
    Method<"verify", &verify, Kind::function, "z", "g", "mapping">::definition();
PyMethodDef verify_2_definition =
    Method<"verify_2", &verify_2, Kind::function, "z", "g", "mapping">::definition();

// A built-in function bound to the module, added under its own __name__.
void add_function(PyObject* module, PyMethodDef* function_definition) {
  static PyObject* name_name = interned("__name__").release();
  Ref module_name = check(PyModule_GetNameObject(module));
  Ref function = check(PyCMethod_New(function_definition, module, module_name.get(), nullptr));
  Ref name = check(PyObject_GetAttr(function.get(), name_name));
  if (!PyUnicode_Check(name.get())) raise_cannot_convert(name.get(), "PyString");
  add_attribute(module, name.get(), function.get());
}

// The core's interruption points run the signal handlers; a handler's
// exception (KeyboardInterrupt) unwinds the call.
void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_pending();
}

// A write that may block (a full pipe) lets other threads run meanwhile.
void without_lock(void (*work)(void*), void* context) {
  Py_BEGIN_ALLOW_THREADS work(context);
  Py_END_ALLOW_THREADS
}

Ref create_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) throw_pending();
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    raise(PyExc_ImportError,
          "quillmat does not yet support sub-interpreters: it can be imported by one "
          "interpreter per process");
  }
  if (module_object != nullptr) return Ref::retain(module_object);

  set_interrupt_hook(&check_signals);
  set_blocking_runner(&without_lock);
  Ref module = check(PyModule_Create2(&definition, 1013));
  add_attribute(module.get(), interned("Matrix").get(), reinterpret_cast<PyObject*>(matrix_type()));
  add_function(module.get(), &verify_definition);
  add_function(module.get(), &verify_2_definition);
  module_object = Ref::retain(module.get()).release();
  return module;
}

}  // namespace
}  // namespace quillmat::python

PyMODINIT_FUNC PyInit_quillmat() {
  return quillmat::python::barrier([] { return quillmat::python::create_module().release(); });
}
