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

// Lets another runnable thread on this CPU go first. When the CPUs are
// oversubscribed (the client, the application and the bridge's two threads on
// a small machine), the thread a spinner waits for is often queued behind the
// spinner itself; a plain pause loop then holds the CPU it needs until the
// scheduler preempts it. With no one waiting, the call returns at once.
inline void yield_cpu() { ::sched_yield(); }

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
