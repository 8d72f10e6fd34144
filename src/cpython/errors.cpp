#include "cpython/errors.hpp"

#include <pthread.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define QUILLMAT_HAS_BACKTRACE 1
#else
#define QUILLMAT_HAS_BACKTRACE 0
#endif

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cpython/steal.hpp"

namespace quillmat::cpython {
namespace {

// Where the interpreter's state holds its PanicException.
constexpr const char* panic_key = "quillmat.PanicException";

constexpr const char* panic_doc =
    "The exception raised when native code called from Python fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";

// Diagnostics go to file descriptor 2 directly, not through sys.stderr.
void write_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// The calling thread's name, as the diagnostic names it: "main" for the
// process's first thread.  Linux asks the kernel (prctl, and the thread id
// by syscall, which every C library has); macOS has its own calls; elsewhere
// every thread is "<unnamed>".
std::string thread_name() {
#if defined(__linux__)
  if (::syscall(SYS_gettid) == ::getpid()) return "main";
  char name[17] = {};
  if (::prctl(PR_GET_NAME, name, 0, 0, 0) != 0 || name[0] == '\0') return "<unnamed>";
  return name;
#elif defined(__APPLE__)
  if (pthread_main_np() != 0) return "main";
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  return name;
#else
  return "<unnamed>";
#endif
}

// Path of the failing check below the source tree's "src/" folder.
std::string_view source_path(const char* file) {
  std::string_view path(file);
  if (auto at = path.rfind("src/"); at != std::string_view::npos) path.remove_prefix(at);
  return path;
}

bool backtrace_wanted() {
  static const bool wanted = [] {
    const char* value = std::getenv("QUILLMAT_BACKTRACE");
    return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
  }();
  return wanted;
}

void write_diagnostic(const Failure& failure) noexcept {
  static std::atomic<bool> first{true};
  try {
    const auto& where = failure.where();
    std::string text = "thread '" + thread_name() + "' failed at " +
                       std::string(source_path(where.file_name())) + ":" +
                       std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n" +
                       failure.text() + "\n";
    if (backtrace_wanted()) {
      write_stderr(text);
#if QUILLMAT_HAS_BACKTRACE
      void* frames[64];
      int depth = ::backtrace(frames, 64);
      write_stderr("native backtrace (innermost first):\n");
      ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
#else
      write_stderr("native backtrace: not available on this platform\n");
#endif
      return;
    }
    if (first.exchange(false)) {
      text += "note: set the environment variable QUILLMAT_BACKTRACE=1 to add a native backtrace\n";
    }
    write_stderr(text);
  } catch (...) {
    write_stderr(failure.text());
    write_stderr("\n");
  }
}

// The exception object, or a SystemError when nothing was pending.
Ref fetch() noexcept {
  if (PyObject* raised = PyErr_GetRaisedException()) return Ref::steal(raised);
  PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  return Ref::steal(PyErr_GetRaisedException());
}

void raise_panic(PyObject* text) noexcept {
  if (PyObject* type = panic_exception_type()) PyErr_SetObject(type, text);
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (state == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state to hold PanicException");
    return nullptr;
  }
  if (PyObject* type = PyDict_GetItemString(state, panic_key)) return type;
  Ref type = Ref::steal(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                  PyExc_BaseException, nullptr));
  if (!type || PyDict_SetItemString(state, panic_key, type.get()) < 0) return nullptr;
  return type.get();  // the interpreter's state holds it from now on
}

PythonError take_pending() {
  Ref exception = fetch();
  PyObject* type = panic_exception_type();
  if (type == nullptr) PyErr_Clear();  // cannot be a PanicException then
  if (type == nullptr || Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(type)) {
    return PythonError(std::move(exception));
  }
  Ref text = Ref::steal(PyObject_Str(exception.get()));
  if (!text) {
    PyErr_Clear();
    text = Ref::steal(PyUnicode_FromString("<PanicException str() failed>"));
  }
  write_stderr(
      "--- quillmat is resuming a failure after fetching a PanicException from Python. ---\n"
      "Python stack trace below:\n");
  set_raised(std::move(exception));
  PyErr_PrintEx(0);
  throw ResumedPanic(std::move(text));
}

void raise(PyObject* type, PyObject* message) {
  throw PythonError(check(PyObject_CallOneArg(type, message)));
}

void raise(PyObject* type, const char* message) {
  Ref text = check(PyUnicode_FromString(message));
  raise(type, text.get());
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyObject* text = PyUnicode_FromFormatV(format, arguments);
  va_end(arguments);
  Ref message = check(text);
  raise(type, message.get());
}

void set_python_error(PythonError& error) noexcept {
  set_raised(error.take());
}

void set_python_error(const ResumedPanic& panic) noexcept {
  raise_panic(panic.text_.get());
}

void set_python_error(const Failure& failure) noexcept {
  write_diagnostic(failure);
  const std::string& text = failure.text();
  Ref message = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) raise_panic(message.get());
}

void set_memory_error(const std::bad_alloc& failure) noexcept {
  const char* text = failure.what();
  if (std::strcmp(text, std::bad_alloc().what()) == 0 ||
      std::strcmp(text, std::bad_array_new_length().what()) == 0) {
    PyErr_NoMemory();
  } else {
    PyErr_SetString(PyExc_MemoryError, text);
  }
}

void set_memory_error() noexcept {
  PyErr_NoMemory();
}

void set_unknown_error(const char* what) noexcept {
  Failure failure(std::string("unexpected C++ exception: ") + what);
  set_python_error(failure);
}

}  // namespace quillmat::cpython
