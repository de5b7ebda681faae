// The pool of blocking worker threads.
//
// Workers are started on demand, up to a limit, and end after staying idle
// for a while. A job goes to an idle worker if there is one (the most recently
// idle, whose cache is warm and which may still be spinning); otherwise a new
// worker is started; at the limit the job waits in a FIFO queue that a worker
// empties before it goes idle. Finished jobs go to the CompletionQueue; a
// worker never resumes a coroutine.
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

 private:
  struct Worker;

  static void* worker_entry(void* argument);
  void worker_main(Worker& worker);
  Job* wait_for_assignment(Worker& worker, Clock::time_point idle_since);
  Job* take_assignment(Worker& worker, std::uint32_t state);
  void end_worker_locked(Worker& worker);
  std::vector<std::unique_ptr<Worker>> take_ended_locked();
  void enqueue_locked(Job* job);

  const BlockingPoolOptions options_;
  CompletionQueue& completions_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  Job* queue_head_ = nullptr;
  Job* queue_tail_ = nullptr;
  std::vector<Worker*> idle_;
  std::vector<std::unique_ptr<Worker>> workers_;  // running, or ended and not yet joined
  std::size_t live_workers_ = 0;
  std::size_t ended_unjoined_ = 0;
  bool shut_down_ = false;
};

}  // namespace trellune::event_loop_internal
