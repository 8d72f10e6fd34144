// The engine's budget of memory.
//
// Every large allocation takes a reservation first: bit matrices do it
// themselves, other buffers explicitly.  A reservation that would take the
// engine's total past three quarters of what the process may use (the
// machine's memory, or a lower address-space or data limit) throws
// OutOfMemory before anything is allocated, so a computation too large for
// the machine fails at once instead of being killed half way.  The total
// counts every engine call of the process, concurrent ones included.  A
// process forked while calls ran starts from nothing: their reservations
// stay with the parent, and those it inherited give nothing back.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <utility>

namespace quillmat::engine {

// Thrown before work whose memory would exceed what the process may use.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class MemoryReservation {
 public:
  MemoryReservation() noexcept = default;
  // Reserves `bytes`, or throws OutOfMemory naming `what`.
  MemoryReservation(std::uint64_t bytes, const char* what);
  MemoryReservation(MemoryReservation&& other) noexcept
      : bytes_(std::exchange(other.bytes_, 0)), forks_(other.forks_) {}
  MemoryReservation& operator=(MemoryReservation&& other) noexcept {
    MemoryReservation(std::move(other)).swap(*this);
    return *this;
  }
  MemoryReservation(const MemoryReservation&) = delete;
  MemoryReservation& operator=(const MemoryReservation&) = delete;
  ~MemoryReservation();

  void swap(MemoryReservation& other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(forks_, other.forks_);
  }

 private:
  std::uint64_t bytes_ = 0;
  std::uint64_t forks_ = 0;  // fork_generation() when reserved
};

// How many forks separate this process from the one that loaded the engine:
// a call that started in another generation runs in a child that lacks its
// threads.
std::uint64_t fork_generation() noexcept;

// What the engine may hold at once, in bytes.
std::uint64_t memory_budget();

}  // namespace quillmat::engine
