// The pool of blocking worker threads.
//
// Workers are started on demand, up to a limit, and all but the last end
// after staying idle for a while. A job goes to an idle worker if there is
// one (the most recently idle, whose cache is warm and which may still be
// spinning); otherwise a new worker is started; at the limit the job waits in
// a FIFO queue that a worker empties before it goes idle. Finished jobs go to
// the CompletionQueue; a worker never resumes a coroutine.
//
// One idle worker at a time may sleep watching a descriptor of the loop's
// (the wake hint) besides its own wake-up: the kernel then wakes it together
// with the loop when the descriptor turns readable, and it is running when
// the loop hands over the job that such an event brings.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "event_loop/internal/completion_queue.hpp"
#include "event_loop/internal/job.hpp"
#include "event_loop/internal/spin.hpp"
#include "base/unique_fd.hpp"
#include "io_error/io_error.hpp"

namespace trellune::event_loop_internal {

using StartThread = int (*)(pthread_t* thread, void* (*entry)(void*), void* argument);

struct BlockingPoolOptions {
  std::size_t max_workers;
  std::chrono::nanoseconds idle_timeout;
  std::chrono::nanoseconds spin;
  StartThread start_thread;
};

class BlockingPool {
 public:
  using Clock = std::chrono::steady_clock;

  BlockingPool(const BlockingPoolOptions& options, CompletionQueue& completions);
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;
  ~BlockingPool();

  void submit(Job* job);
  // Lets every queued and running job finish, ends every worker and joins
  // each, with no time limit. No job may be submitted afterwards.
  void shutdown();

  std::size_t worker_count() const;
  std::size_t idle_worker_count() const;

  // From now on no worker is started: jobs beyond the running workers wait
  // in the queue, and the last worker never ends. There must be one.
  void stop_starting_workers();

  // The eventfd that wakes a watching worker; -1 before the first hint.
  int hint_wake_fd() const { return hint_wake_fd_.get(); }

  // Loop thread. The first call creates the eventfd that wakes a watching
  // worker (only programs that use the hint pay a descriptor for it). A
  // worker watching a descriptor replaced or cleared goes on until its next
  // wake-up, which is at worst spurious.
  IoStatus set_wake_hint(int fd);
  void clear_wake_hint() { wake_hint_fd_.store(-1, std::memory_order_release); }

 private:
  struct Worker;

  static void* worker_entry(void* argument);
  void worker_main(Worker& worker);
  Job* wait_for_assignment(Worker& worker, Clock::time_point idle_since);
  bool spin_for_assignment(Worker& worker, SpinBudget& budget, bool while_loop_runs, std::uint32_t& state) const;
  bool sleep_watching(int hint_fd, Clock::duration timeout);
  void stop_watching(Worker& worker);
  void wake(Worker& worker);
  Job* take_assignment(Worker& worker, std::uint32_t state);
  void end_worker_locked(Worker& worker);
  std::vector<std::unique_ptr<Worker>> take_ended_locked();
  void enqueue_locked(Job* job);

  const BlockingPoolOptions options_;
  CompletionQueue& completions_;
  // Written once by the loop thread before the first hint is published;
  // workers use it only after seeing a hint.
  UniqueFd hint_wake_fd_;
  std::atomic<int> wake_hint_fd_{-1};
  // Some worker watches the hint; claimed and released by that worker.
  std::atomic<bool> hint_watched_{false};

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  Job* queue_head_ = nullptr;
  Job* queue_tail_ = nullptr;
  std::vector<Worker*> idle_;
  std::vector<std::unique_ptr<Worker>> workers_;  // running, or ended and not yet joined
  std::size_t live_workers_ = 0;
  std::size_t worker_limit_;
  std::size_t ended_unjoined_ = 0;
  bool shut_down_ = false;
};

}  // namespace trellune::event_loop_internal
