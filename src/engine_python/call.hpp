// Running the engine with the interpreter lock released.
//
// A Call is the Control of one engine call.  `run` releases the lock, runs
// the work on plain C++ values, and takes the lock back.  Every
// Control::poll_interval the home thread takes the lock for a moment to run
// the signal handlers (so that Ctrl-C raises KeyboardInterrupt within a
// fraction of a second) and, at most every progress_interval, to report
// progress.  An exception raised there stops the work; it is raised once
// the work has unwound.  A progress callable that forks leaves the child
// without the call's threads: there the call raises RuntimeError.
#pragma once

#include <chrono>
#include <optional>
#include <utility>

#include "cpython/errors.hpp"
#include "engine/control.hpp"

namespace quillmat::engine_python {

using cpython::check;
using cpython::PythonError;
using cpython::raise;
using cpython::raise_format;
using cpython::Ref;
using cpython::throw_pending;

class Call final : public engine::Control {
 public:
  // `progress` is None or a callable progress(done, total).
  Call(PyObject* progress, unsigned threads);

  template <class Work>
  auto run(Work&& work) {
    using Result = decltype(work(static_cast<engine::Control&>(*this)));
    std::optional<Result> result;
    bool cancelled = false;
    bool forked = false;
    {
      const Released released(state_);
      try {
        result.emplace(work(static_cast<engine::Control&>(*this)));
      } catch (const engine::Cancelled&) {
        cancelled = true;
      } catch (const engine::Forked&) {
        forked = true;
      }
    }
    // The lock is held again: whatever stopped the work may be raised now.
    if (forked) {
      raise(PyExc_RuntimeError, "the engine's work cannot go on in a process forked while it ran");
    }
    if (cancelled || !report()) raise_stored();
    return std::move(*result);
  }

 protected:
  void poll() override;

 private:
  // Holds the interpreter lock released for its lifetime; `state` is where
  // poll() finds the thread state to take the lock back for a moment.
  class Released {
   public:
    explicit Released(PyThreadState*& state) : state_(state) { state_ = PyEval_SaveThread(); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() { PyEval_RestoreThread(std::exchange(state_, nullptr)); }

   private:
    PyThreadState*& state_;
  };

  using Clock = engine::Control::Clock;
  static constexpr Clock::duration progress_interval = std::chrono::milliseconds(100);

  // Calls the progress callable (lock held); false when it raised.
  bool report() noexcept;
  [[noreturn]] void raise_stored();

  PyObject* progress_;  // borrowed from the call's arguments
  PyThreadState* state_ = nullptr;
  Ref stored_;  // the exception that stopped the work
  Clock::time_point next_report_ = Clock::now() + progress_interval;
};

}  // namespace quillmat::engine_python
