// Busy-waiting helpers for the hand-over between the loop and the workers.
#pragma once

#include <sched.h>

#include <algorithm>
#include <chrono>

namespace trellune::event_loop_internal {

// One step of a busy-wait. On x86 `pause` tells the core that this is a spin
// loop: it yields pipeline resources to the sibling hyper-thread and avoids the
// memory-order mis-speculation penalty when the awaited store lands.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  __asm__ __volatile__("" ::: "memory");
#endif
}

// The CPU the calling thread runs on: a read of the kernel-maintained rseq
// area through glibc, a few nanoseconds. A spinner compares it with the CPU
// its partner last ran on: when they are equal the partner cannot be running
// now, since the spinner holds that CPU, and spinning would only delay it.
inline int current_cpu() { return ::sched_getcpu(); }

// Lets the partner that waits for this CPU run first. Only then: on a CPU of
// its own the partner needs nothing from the spinner, and the call would be
// a wasted system call.
inline void yield_cpu() { ::sched_yield(); }

// Pauses between two looks at the clock in a spin. A look costs tens of
// nanoseconds through the vDSO, a few pauses about as much, so the bound of a
// spin holds to within a microsecond without a system call.
inline constexpr unsigned kPausesPerClockCheck = 16;

// How long to spin before sleeping. Spinning pays only while the other thread
// runs on another CPU at the same time; when the CPUs are busy with other
// processes, the awaited thread is often not running at all and the whole
// spin is lost, once per hand-over. So the budget halves after each spin that
// ran out and doubles after each that succeeded, between a sixteenth of the
// configured limit (to keep probing) and the limit itself. A sixteenth, about
// 3 microseconds at the default limit, still catches a hand-over to a thread
// that is running, and four failed spins in a row reach it.
class SpinBudget {
 public:
  explicit SpinBudget(std::chrono::nanoseconds limit) : limit_(limit), current_(limit) {}

  std::chrono::nanoseconds current() const { return current_; }
  void succeeded() { current_ = std::min(limit_, current_ * 2); }
  void ran_out() { current_ = std::max(limit_ / 16, current_ / 2); }

 private:
  std::chrono::nanoseconds limit_;
  std::chrono::nanoseconds current_;
};

}  // namespace trellune::event_loop_internal
