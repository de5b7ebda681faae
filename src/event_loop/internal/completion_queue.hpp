// Finished jobs on their way from worker threads back to the loop thread.
//
// Workers push onto a lock-free stack; the loop takes the whole stack at once.
// The eventfd is written only when the loop has announced that it is about to
// sleep (or is sleeping) in epoll_wait, so a loop that is busy or spinning pays
// no system call for a completion.
#pragma once

#include <atomic>

#include "event_loop/internal/job.hpp"
#include "event_loop/internal/spin.hpp"
#include "base/unique_fd.hpp"

namespace trellune::event_loop_internal {

class CompletionQueue {
 public:
  explicit CompletionQueue(UniqueFd wake_fd) : wake_fd_(std::move(wake_fd)) {}
  CompletionQueue(const CompletionQueue&) = delete;
  CompletionQueue& operator=(const CompletionQueue&) = delete;

  // Any thread. The job must not be touched by the caller afterwards.
  void push(Job* job);

  // Loop thread. Every job pushed so far, oldest first, linked by `next_`.
  Job* take_all();

  int wake_fd() const { return wake_fd_.get(); }

  bool has_pending() const { return head_.load(std::memory_order_acquire) != nullptr; }

  // Any thread: the loop has announced that it sleeps in epoll_wait, so it
  // hands over no job before an outside event or a completion wakes it.
  bool loop_sleeping() const { return sleeping_.load(std::memory_order_acquire); }

  // Loop thread, around a blocking epoll_wait. prepare_sleep returns false
  // (and the loop must not block) when a completion is already waiting.
  bool prepare_sleep();
  void end_sleep() { sleeping_.store(false, std::memory_order_seq_cst); }

  // Loop thread: resets the eventfd after epoll reported it readable.
  void drain_wakeups();

  // Where each side of the hand-over last ran.
  CpuNote& loop_cpu() { return loop_cpu_; }
  CpuNote& worker_cpu() { return worker_cpu_; }
  // Where either side's spins may yield.
  YieldGate& yields() { return yields_; }

 private:
  std::atomic<Job*> head_{nullptr};
  // Apart from head_: workers write it only to hand over a wake-up, and
  // keeping it on its own line spares the pushes a false-sharing miss.
  alignas(64) std::atomic<bool> sleeping_{false};
  CpuNote loop_cpu_;
  CpuNote worker_cpu_;
  YieldGate yields_;
  UniqueFd wake_fd_;
};

}  // namespace trellune::event_loop_internal
