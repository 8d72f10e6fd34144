#include "matrix/interrupt.hpp"

namespace quillmat {
namespace {

InterruptHook interrupt_hook = nullptr;
BlockingRunner blocking_runner = nullptr;

}  // namespace

void set_interrupt_hook(InterruptHook hook) noexcept {
  interrupt_hook = hook;
}
void set_blocking_runner(BlockingRunner runner) noexcept {
  blocking_runner = runner;
}

void run_blocking(void (*work)(void*), void* context) {
  if (blocking_runner != nullptr) {
    blocking_runner(work, context);
  } else {
    work(context);
  }
}

void detail::interrupt_now() {
  interrupt_credit = interrupt_budget;
  if (interrupt_hook != nullptr) interrupt_hook();
}

}  // namespace quillmat
