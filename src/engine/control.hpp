// Control: cooperative cancellation, progress and threads for long native work.
//
// The core never blocks on anything outside itself and never knows who called
// it.  It calls `checkpoint()` between pieces of work of at most a few
// milliseconds; a checkpoint throws `Cancelled` once a stop was requested,
// and on the thread that created the Control (the home thread) it also runs
// `poll()` every `poll_interval`.  The Python door overrides poll() to take
// the interpreter lock briefly, run signal handlers and report progress.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/memory.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {

// Thrown out of the core when its caller asked it to stop.
struct Cancelled {};
// Thrown out of the core in the child of a fork made while it ran (from a
// poll on the home thread): the call's other threads are not in the child,
// so the work cannot go on, nor wait for them.
struct Forked {};

class Control {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration poll_interval = std::chrono::milliseconds(20);

  Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  virtual ~Control() = default;

  void checkpoint() {
    if (on_home_thread() && Clock::now() >= next_poll_) run_poll();
    if (stop_.load(std::memory_order_relaxed)) throw Cancelled{};
  }
  // Whether this process is a child forked since the Control was made.
  bool forked() const noexcept { return fork_generation() != forks_; }
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Progress in units of work the core chooses (elimination steps): `plan`
  // adds to the total as work is planned, `advance` to what is done.
  void plan(std::uint64_t units) noexcept { total_.fetch_add(units, std::memory_order_relaxed); }
  void advance(std::uint64_t units) noexcept { done_.fetch_add(units, std::memory_order_relaxed); }
  std::uint64_t done() const noexcept { return done_.load(std::memory_order_relaxed); }
  std::uint64_t total() const noexcept { return total_.load(std::memory_order_relaxed); }

  bool on_home_thread() const noexcept { return std::this_thread::get_id() == home_; }
  // Threads the core may use at once, the home thread included.
  unsigned threads() const noexcept { return threads_; }
  // At least 1, at most tuning::threads_per_core per available core.
  void set_threads(unsigned threads) noexcept;

  // Waits on the home thread until `finished()` holds, polling meanwhile;
  // `finished` is called with `lock` held, and the waker notifies `wake`.
  // Throws Forked, with `lock` released, when a poll forked this process:
  // nothing is left to wait for, and the lock may be held by a thread that
  // the child lacks.
  void wait_polling(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                    const std::function<bool()>& finished);

 protected:
  // Runs on the home thread every poll_interval.  It may request a stop.
  virtual void poll() {}

 private:
  void run_poll();

  std::thread::id home_ = std::this_thread::get_id();
  std::uint64_t forks_ = fork_generation();
  Clock::time_point next_poll_ = Clock::now() + poll_interval;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> done_{0};
  std::atomic<std::uint64_t> total_{0};
  unsigned threads_ = 1;
};

// Sets the threads of `control` for as long as it lives, then gives back the
// count it found (on any way out, an exception's included).
class ThreadCount {
 public:
  ThreadCount(Control& control, unsigned threads) : control_(control), saved_(control.threads()) {
    control.set_threads(threads);
  }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;
  ~ThreadCount() { control_.set_threads(saved_); }

 private:
  Control& control_;
  unsigned saved_;
};

// Rethrows the first failure that is not Cancelled, else Cancelled if any.
void rethrow_first_real(const std::vector<std::exception_ptr>& failures);

// Runs tasks[0] on the calling thread and every other task on a new thread
// of its own, all at once, and returns when every one has finished; the
// calling thread, while it waits, goes on polling `control` if it is the
// home thread.  The first task to throw requests a stop, which the others
// see at their next checkpoint; once all are done the first real failure is
// rethrown (rethrow_first_real), Cancelled only when there was none.  The
// tasks for threads that cannot be started (the system refuses more) run on
// the calling thread after tasks[0], one after the other: the same work on
// fewer threads.
void run_together(Control& control, const std::vector<std::function<void()>>& tasks);

// Calls job(begin, end) on ranges that split 0 .. count, each on a thread of
// its own (run_together): as many ranges as control.threads(), but none
// shorter than tuning::rows_per_thread.
template <class Job>
void split_among_threads(Control& control, std::size_t count, const Job& job) {
  const std::size_t parts = std::min<std::size_t>(
      control.threads(), std::max<std::size_t>(1, count / tuning::rows_per_thread));
  std::vector<std::function<void()>> tasks;
  for (std::size_t p = 0; p < parts; ++p) {
    tasks.emplace_back([&, p] { job(count * p / parts, count * (p + 1) / parts); });
  }
  run_together(control, tasks);
}

// A team of threads for the duration of one algorithm: `run(job)` calls
// job(0) on the calling thread and job(1) .. job(size - 1) on the team's
// threads, and returns when all are done, with the first exception rethrown.
class Team {
 public:
  Team(Control& control, unsigned size);
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;
  ~Team();

  unsigned size() const noexcept { return static_cast<unsigned>(workers_.size()) + 1; }
  void run(const std::function<void(unsigned)>& job);

 private:
  void work(unsigned index);

  Control& control_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable finished_;
  const std::function<void(unsigned)>* job_ = nullptr;
  std::uint64_t generation_ = 0;
  unsigned running_ = 0;
  bool closing_ = false;
  std::exception_ptr failure_;
  std::vector<std::thread> workers_;
};

}  // namespace quillmat::engine
