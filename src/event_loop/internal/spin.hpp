// Busy-waiting helpers for the hand-over between the loop and the workers.
#pragma once

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>

namespace trellune::event_loop_internal {

// One step of a busy-wait. On x86 `pause` tells the core that this is a spin
// loop: it yields pipeline resources to the sibling hyper-thread and avoids the
// memory-order mis-speculation penalty when the awaited store lands. On
// aarch64 `yield` is a no-op on most cores, so `isb` stands in: it drains the
// pipeline, a short delay of the same order as a pause.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("isb" ::: "memory");
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

// A yield runs the partner only if the scheduler picks it next. With a busy
// process of another kind on the same CPU it may pick that one instead, for
// the rest of its slice: milliseconds in which neither side of the hand-over
// runs, where a side asleep would have been woken at once. A yield that kept
// the CPU away this long is taken as that sign.
inline constexpr std::chrono::microseconds kStalledYield{1000};

// Lets the partner that waits for this CPU run first. Only then: on a CPU of
// its own the partner needs nothing from the spinner, and the call would be
// a wasted system call. Returns how long the CPU was away: under kLoneYield,
// no thread waited for it, so the partner is blocked or has moved elsewhere.
inline std::chrono::nanoseconds yield_cpu() {
  const auto before = std::chrono::steady_clock::now();
  ::sched_yield();
  return std::chrono::steady_clock::now() - before;
}

// Whether the spinners may yield on a CPU. Where a busy process shares the
// CPU, yields keep stalling, and both sides sleep there instead for a spell;
// other CPUs, which the scheduler may keep free of that process, stay open.
// A single stall is more often a busy process passing through while the
// scheduler balances its CPUs, which costs less than sleeping would: only
// stalls in a row shut the gate. Stalls again soon after a spell ended mean
// the busy process stayed, and double the spell, so that it costs a few
// stalls only now and then. Shared by both sides; races only blur a hint.
class YieldGate {
 public:
  using Clock = std::chrono::steady_clock;

  // Stalls in a row, each within kStallGap of the last, that shut the gate.
  static constexpr int kStallsToShut = 3;
  static constexpr std::chrono::milliseconds kStallGap{20};
  static constexpr std::chrono::milliseconds kShortestSpell{10};
  static constexpr std::chrono::milliseconds kLongestSpell{1000};

  bool open(int cpu, Clock::time_point now) const { return now >= load(slot(cpu).shut_until); }

  void record_stall(int cpu, Clock::time_point now) {
    Slot& s = slot(cpu);
    const bool in_a_row = now - load(s.last_stall) < kStallGap;
    store(s.last_stall, now);
    const int stalls = in_a_row ? s.stalls_in_a_row.load(std::memory_order_relaxed) + 1 : 1;
    s.stalls_in_a_row.store(stalls, std::memory_order_relaxed);
    if (stalls < kStallsToShut) return;
    const Clock::duration last_spell{s.spell.load(std::memory_order_relaxed)};
    const bool stayed = now - load(s.shut_until) < last_spell;
    const Clock::duration spell =
        stayed ? std::min<Clock::duration>(last_spell * 2, kLongestSpell) : Clock::duration{kShortestSpell};
    s.spell.store(spell.count(), std::memory_order_relaxed);
    store(s.shut_until, now + spell);
  }

 private:
  using Instant = std::atomic<Clock::rep>;
  struct Slot {
    Instant last_stall{0};
    std::atomic<int> stalls_in_a_row{0};
    Instant shut_until{0};
    std::atomic<Clock::rep> spell{0};
  };
  // CPUs that share a slot share a gate: only a hint.
  static constexpr std::size_t kSlots = 64;

  static Clock::time_point load(const Instant& at) {
    return Clock::time_point(Clock::duration(at.load(std::memory_order_relaxed)));
  }
  static void store(Instant& at, Clock::time_point value) {
    at.store(value.time_since_epoch().count(), std::memory_order_relaxed);
  }
  Slot& slot(int cpu) { return slots_[static_cast<std::size_t>(cpu) % kSlots]; }
  const Slot& slot(int cpu) const { return slots_[static_cast<std::size_t>(cpu) % kSlots]; }

  alignas(64) std::array<Slot, kSlots> slots_{};
};

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
// waiting for the CPU, or yields are shut on this CPU.
enum class SpinEnd { kDone, kTimedOut, kGaveUp };

// The busy-wait of both sides of a hand-over: pauses until `done()` holds or
// `give_up()` does, or `until` has passed. Makes no system call, but yields
// the CPU when the partner it waits for last ran there, since the partner
// cannot run while the spinner holds it. That is looked at before the first
// pause too: on a shared CPU every pause only delays the partner. A yield
// that ran nobody ends the spin: yielding on would keep a CPU busy that the
// scheduler could otherwise give to a thread being woken, such as the one
// that is to wake the partner. Where `yields` is shut, a shared CPU ends the
// spin at once and the side sleeps, to be woken ahead of the busy process.
template <typename Done, typename GiveUp>
SpinEnd spin_until(std::chrono::steady_clock::time_point until, CpuNote& own, const CpuNote& partner,
                   YieldGate& yields, Done done, GiveUp give_up) {
  for (;;) {
    if (done()) return SpinEnd::kDone;
    if (give_up()) return SpinEnd::kGaveUp;
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return SpinEnd::kTimedOut;
    const int cpu = current_cpu();
    own.note(cpu);
    if (partner.last_was(cpu)) {
      if (!yields.open(cpu, now)) return SpinEnd::kGaveUp;
      const std::chrono::nanoseconds away = yield_cpu();
      if (away < kLoneYield) return SpinEnd::kGaveUp;
      if (away >= kStalledYield) yields.record_stall(cpu, now + away);
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
// configured limit (to keep probing) and the limit itself; four failed spins
// in a row reach the floor. What the halving saved is in
// docs/performance-log.md, "The loop's spin for a worker on its CPU at the
// full 50 us".
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
