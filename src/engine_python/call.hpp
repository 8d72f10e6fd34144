// Running the engine with the interpreter lock released.
//
// A Call is the Control of one engine call.  `run` releases the lock, runs
// the work on plain C++ values, and takes the lock back.  Every
// Control::poll_interval the home thread takes the lock for a moment to run
// the signal handlers (so that Ctrl-C raises KeyboardInterrupt within a
// fraction of a second) and, at most every progress_interval, to report
// progress.  An exception raised there stops the work; it is raised once
// the work has unwound.
#pragma once

#include <chrono>
#include <utility>

#include "engine/control.hpp"
#include "engine_python/door.hpp"

namespace quillmat::engine_python {

class Call final : public engine::Control {
 public:
  // `progress` is None or a callable progress(done, total).
  Call(PyObject* progress, unsigned threads);

  template <class Work>
  auto run(Work&& work) {
    using Result = decltype(work(static_cast<engine::Control&>(*this)));
    state_ = PyEval_SaveThread();
    try {
      Result result = work(static_cast<engine::Control&>(*this));
      PyEval_RestoreThread(std::exchange(state_, nullptr));
      if (!report()) raise_stored();
      return result;
    } catch (const engine::Cancelled&) {
      PyEval_RestoreThread(std::exchange(state_, nullptr));
      raise_stored();
    } catch (...) {
      PyEval_RestoreThread(std::exchange(state_, nullptr));
      throw;
    }
  }

 protected:
  void poll() override;

 private:
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
