// Cooperative cancellation, progress and threads for long native work.
//
// The core never blocks on anything outside itself and never knows who called
// it.  It calls `checkpoint()` between pieces of work of at most a few
// milliseconds; a checkpoint throws `Cancelled` once a stop was requested,
// and on the thread that created the Control (the home thread) it also runs
// `poll()` every `poll_interval`.  The Python door overrides poll() to take
// the interpreter lock briefly, run signal handlers and report progress.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quillmat::engine {

// Thrown out of the core when its caller asked it to stop.
struct Cancelled {};

// Thrown before work whose memory would exceed what the process may use.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

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
  // At least 1, at most 4 per core.
  void set_threads(unsigned threads) noexcept;

  // Waits on the home thread until `finished()` holds, polling meanwhile;
  // `finished` is called with `lock` held, and the waker notifies `wake`.
  void wait_polling(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                    const std::function<bool()>& finished);

 protected:
  // Runs on the home thread every poll_interval.  It may request a stop.
  virtual void poll() {}

 private:
  void run_poll();

  std::thread::id home_ = std::this_thread::get_id();
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

// Runs each task on a thread of its own (the first on the calling thread)
// and returns when all have finished.  A task that throws stops the others
// at their next checkpoint, and its exception is rethrown here; Cancelled
// only when nothing else went wrong.
void run_together(Control& control, const std::vector<std::function<void()>>& tasks);

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
