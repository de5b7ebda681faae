// Busy-waiting helpers for the hand-over between the loop and the workers.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
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

// A yield that comes back sooner than this ran no other thread: one that did
// took two context switches and that thread's work, several microseconds,
// while a yield with nothing else to run costs under one.
inline constexpr std::chrono::nanoseconds kLoneYield{1500};

// Lets the partner that waits for this CPU run first. Only then: on a CPU of
// its own the partner needs nothing from the spinner, and the call would be
// a wasted system call. False when the yield came straight back: no thread
// waited for the CPU, so the partner is blocked or has moved elsewhere.
inline bool yield_cpu() {
  const auto before = std::chrono::steady_clock::now();
  ::sched_yield();
  return std::chrono::steady_clock::now() - before >= kLoneYield;
}

// Pauses between two looks at the clock in a spin. A look costs tens of
// nanoseconds through the vDSO, a few pauses about as much, so the bound of a
// spin holds to within a microsecond without a system call.
inline constexpr unsigned kPausesPerClockCheck = 16;

// Where one side of a hand-over last ran, published while it runs or spins;
// -1 before the first note. Only a hint for the other side's spin: it may be
// stale. On a cache line of its own, since one side writes it and the other
// reads it while spinning.
class CpuNote {
 public:
  void note(int cpu) { cpu_.store(cpu, std::memory_order_relaxed); }
  void note_current() { note(current_cpu()); }
  // A CPU that could not be told (-1, as before the first note) matches
  // nothing, so that a failing sched_getcpu never passes for a shared CPU.
  bool last_was(int cpu) const { return cpu >= 0 && cpu_.load(std::memory_order_relaxed) == cpu; }

 private:
  alignas(64) std::atomic<int> cpu_{-1};
};

// kGaveUp: `give_up()` held, or a yield found that the partner was not
// waiting for the CPU.
enum class SpinEnd { kDone, kTimedOut, kGaveUp };

// The busy-wait of both sides of a hand-over: pauses until `done()` holds or
// `give_up()` does, or `until` has passed. Makes no system call, but yields
// the CPU when the partner it waits for last ran there, since the partner
// cannot run while the spinner holds it. That is looked at before the first
// pause too: on a shared CPU every pause only delays the partner. A yield
// that ran nobody ends the spin: yielding on would keep a CPU busy that the
// scheduler could otherwise give to a thread being woken, such as the one
// that is to wake the partner.
template <typename Done, typename GiveUp>
SpinEnd spin_until(std::chrono::steady_clock::time_point until, CpuNote& own, const CpuNote& partner, Done done,
                   GiveUp give_up) {
  for (;;) {
    if (done()) return SpinEnd::kDone;
    if (give_up()) return SpinEnd::kGaveUp;
    if (std::chrono::steady_clock::now() >= until) return SpinEnd::kTimedOut;
    const int cpu = current_cpu();
    own.note(cpu);
    if (partner.last_was(cpu)) {
      if (!yield_cpu()) return SpinEnd::kGaveUp;
      continue;
    }
    for (unsigned pause = 0; pause < kPausesPerClockCheck && !done() && !give_up(); ++pause) cpu_relax();
  }
}

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
  // A spin that was given up says nothing of how long the next should be.
  void record(SpinEnd end) {
    if (end == SpinEnd::kDone) current_ = std::min(limit_, current_ * 2);
    if (end == SpinEnd::kTimedOut) current_ = std::max(limit_ / 16, current_ / 2);
  }

 private:
  std::chrono::nanoseconds limit_;
  std::chrono::nanoseconds current_;
};

}  // namespace trellune::event_loop_internal
