#include "engine_python/call.hpp"

namespace quillmat::engine_python {

Call::Call(PyObject* progress, unsigned threads)
    : progress_(progress == Py_None ? nullptr : progress) {
  set_threads(threads);
}

void Call::poll() {
  if (state_ == nullptr || stop_requested()) return;
  PyEval_RestoreThread(state_);
  bool failed = PyErr_CheckSignals() < 0;
  if (failed) {
    stored_ = Ref::steal(PyErr_GetRaisedException());
  } else if (Clock::now() >= next_report_) {
    failed = !report();
    next_report_ = Clock::now() + progress_interval;
  }
  state_ = PyEval_SaveThread();
  if (failed) request_stop();
}

bool Call::report() noexcept {
  if (progress_ == nullptr) return true;
  PyObject* result = PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done()),
                                           static_cast<unsigned long long>(total()));
  if (result == nullptr) {
    if (!stored_) stored_ = Ref::steal(PyErr_GetRaisedException());
    PyErr_Clear();
    return false;
  }
  Ref::steal(result);
  return true;
}

void Call::raise_stored() {
  if (stored_) throw PythonError(std::move(stored_));
  throw Failure("quillmat._engine: the work stopped with no reason given");
}

}  // namespace quillmat::engine_python
