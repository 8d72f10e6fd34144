#include "engine/control.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "engine/cores.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {

void rethrow_first_real(const std::vector<std::exception_ptr>& failures) {
  // A real failure wins over the Cancelled it caused elsewhere.
  std::exception_ptr cancelled;
  for (const auto& failure : failures) {
    if (!failure) continue;
    try {
      std::rethrow_exception(failure);
    } catch (const Cancelled&) {
      cancelled = failure;
    }
  }
  if (cancelled) std::rethrow_exception(cancelled);
}

void Control::set_threads(unsigned threads) noexcept {
  threads_ = std::clamp(threads, 1u, tuning::threads_per_core * available_cores());
}

void Control::run_poll() {
  poll();
  next_poll_ = Clock::now() + poll_interval;
  if (forked()) throw Forked{};
}

namespace {

// The threads of a call in the child of a fork made while it ran: they are
// not in the child, so they can be neither joined nor destroyed (a joinable
// std::thread terminates the process); they are kept, reachable, for ever.
void abandon(std::vector<std::thread>& threads) {
  static std::vector<std::thread>* const abandoned = new std::vector<std::thread>;
  for (auto& thread : threads) abandoned->push_back(std::move(thread));
  threads.clear();
}

}  // namespace

void Control::wait_polling(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                           const std::function<bool()>& finished) {
  if (forked()) {
    lock.unlock();
    throw Forked{};
  }
  while (!finished()) {
    if (!on_home_thread()) {
      wake.wait(lock, finished);
      return;
    }
    // A deadline on the system clock: waiting on the steady clock needs
    // pthread_cond_clockwait, which older C libraries lack.
    wake.wait_until(lock, std::chrono::system_clock::now() + poll_interval, finished);
    if (finished()) return;
    lock.unlock();
    try {
      run_poll();
    } catch (...) {
      // A poll that fails asks everyone to stop; the waiting goes on, since
      // the threads still use memory the caller owns.
      request_stop();
    }
    if (forked()) throw Forked{};
    lock.lock();
  }
}

void run_together(Control& control, const std::vector<std::function<void()>>& tasks) {
  if (tasks.empty()) return;
  std::mutex mutex;
  std::condition_variable done;
  std::size_t running = tasks.size() - 1;
  std::vector<std::exception_ptr> failures(tasks.size());
  std::vector<std::thread> threads;
  auto finish = [&](std::size_t i, std::exception_ptr failure) {
    if (failure) control.request_stop();
    std::lock_guard guard(mutex);
    failures[i] = std::move(failure);
    --running;
    done.notify_all();
  };
  threads.reserve(tasks.size() - 1);
  try {
    for (std::size_t i = 1; i < tasks.size(); ++i) {
      threads.emplace_back([&, i] {
        std::exception_ptr failure;
        try {
          tasks[i]();
        } catch (...) {
          failure = std::current_exception();
        }
        finish(i, std::move(failure));
      });
    }
  } catch (const std::system_error&) {
    // The system gives no more threads (EAGAIN): the rest run here.
  }
  const std::size_t started = threads.size();
  {
    std::lock_guard guard(mutex);
    running -= tasks.size() - 1 - started;
  }
  // Here: tasks[0], then those without a thread of their own.
  for (std::size_t i = 0; i < tasks.size(); i = i == 0 ? started + 1 : i + 1) {
    try {
      tasks[i]();
    } catch (...) {
      failures[i] = std::current_exception();
      control.request_stop();
    }
  }
  try {
    if (control.forked()) throw Forked{};
    std::unique_lock lock(mutex);
    control.wait_polling(lock, done, [&] { return running == 0; });
  } catch (const Forked&) {
    abandon(threads);
    throw;
  }
  for (auto& thread : threads) thread.join();
  rethrow_first_real(failures);
}

Team::Team(Control& control, unsigned size) : control_(control) {
  try {
    for (unsigned i = 1; i < size; ++i) workers_.emplace_back([this, i] { work(i); });
  } catch (...) {
    // Fewer threads than asked: the team works with those it has.
  }
}

Team::~Team() {
  if (control_.forked()) {
    abandon(workers_);
    return;
  }
  {
    std::lock_guard guard(mutex_);
    closing_ = true;
  }
  start_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void Team::work(unsigned index) {
  std::uint64_t seen = 0;
  for (;;) {
    const std::function<void(unsigned)>* job;
    {
      std::unique_lock lock(mutex_);
      start_.wait(lock, [&] { return closing_ || generation_ != seen; });
      if (closing_) return;
      seen = generation_;
      job = job_;
    }
    std::exception_ptr failure;
    try {
      (*job)(index);
    } catch (...) {
      failure = std::current_exception();
      control_.request_stop();
    }
    std::lock_guard guard(mutex_);
    if (failure && !failure_) failure_ = std::move(failure);
    if (--running_ == 0) finished_.notify_all();
  }
}

void Team::run(const std::function<void(unsigned)>& job) {
  {
    std::lock_guard guard(mutex_);
    job_ = &job;
    running_ = static_cast<unsigned>(workers_.size());
    failure_ = nullptr;
    ++generation_;
  }
  start_.notify_all();
  std::exception_ptr own;
  try {
    job(0);
  } catch (...) {
    own = std::current_exception();
    control_.request_stop();
  }
  if (control_.forked()) throw Forked{};
  std::unique_lock lock(mutex_);
  control_.wait_polling(lock, finished_, [&] { return running_ == 0; });
  rethrow_first_real({own, failure_});
}

}  // namespace quillmat::engine
