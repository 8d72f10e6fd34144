// Interruption points: how a long loop of the core lets its caller stop it.
//
// The core knows nothing of Python, yet a Ctrl-C must not wait for a whole
// reduction.  Long loops report their work, in cell operations, to
// `interruption_point`; about every `interrupt_budget` operations (tens of
// microseconds) it calls the hook that the door installed, which runs the
// interpreter's signal handlers and throws whatever they raise.  The core is
// exception-safe, and every operation that can meet an interruption point
// works on its own copy, so a throw abandons the call and leaves the
// receiver as it was.
//
// Blocking output goes through a runner that the door installs too: the
// door runs the blocking write with the interpreter lock released, so that
// a thread draining the other end of a pipe can go on.
#pragma once

#include <cstddef>

namespace quillmat {

using InterruptHook = void (*)();
// Runs work(context), perhaps after releasing what the caller holds.
using BlockingRunner = void (*)(void (*work)(void*), void* context);

void set_interrupt_hook(InterruptHook hook) noexcept;
void set_blocking_runner(BlockingRunner runner) noexcept;
void run_blocking(void (*work)(void*), void* context);

inline constexpr std::size_t interrupt_budget = std::size_t{1} << 16;

namespace detail {
// Cell operations left before the next call of the hook.
inline thread_local std::size_t interrupt_credit = interrupt_budget;
void interrupt_now();
}  // namespace detail

inline void interruption_point(std::size_t work) {
  if (work >= detail::interrupt_credit) {
    detail::interrupt_now();
  } else {
    detail::interrupt_credit -= work;
  }
}

}  // namespace quillmat
