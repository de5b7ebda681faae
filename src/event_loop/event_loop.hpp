// event_loop: a single-threaded coroutine scheduler with an epoll readiness
// reactor, timers, and a pool of blocking worker threads; Task<T> (task.hpp)
// and the loop's private parts (internal/). Uses io_error and base, Linux
// and pthreads; knows nothing of lines, sockets' contents or JSON.
//
// Everything but worker_count/idle_worker_count runs on the thread that calls
// block_on (the loop thread), and only that thread resumes coroutines. A
// worker that finishes a job publishes the result and wakes the loop; the
// task that awaits the job is resumed by the loop.
//
//   auto loop = EventLoop::create();            // no thread started yet
//   int answer = (*loop)->block_on(main_task()); // drives I/O, timers, jobs
//   (*loop)->shutdown();                          // joins every worker
#pragma once

#include <pthread.h>
#include <sys/epoll.h>

#include <array>
#include <chrono>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "event_loop/internal/job.hpp"
#include "event_loop/internal/spin.hpp"
#include "base/unique_fd.hpp"
#include "event_loop/task.hpp"
#include "base/fatal.hpp"
#include "io_error/io_error.hpp"

namespace trellune {

// The defaults suit any program; a program that knows its load sets its own.
struct EventLoopSettings {
  // Readiness events taken from the kernel per epoll_wait, in an array the
  // loop allocates once (12 bytes each). A busy moment with more ready
  // descriptors than this is taken over several waits.
  int max_events_per_wait = 1024;
  // Workers alive at once. Bounds the threads (and their stacks) that a
  // burst of concurrent jobs could start; jobs beyond it wait in a queue.
  std::size_t max_workers = 512;
  // A worker idle this long ends, unless it is the last one.
  std::chrono::nanoseconds worker_idle_timeout = std::chrono::seconds(10);
  // A worker that finished a job spins up to this long for the next one (only
  // while the loop runs) before it sleeps; the loop spins up to this long for
  // a job completion (only while a brief job is in flight, or right after an
  // outside event while any job is, and nothing else is ready) before it
  // sleeps in epoll_wait. A spinner yields its CPU only when the other side
  // last ran there, and sleeps instead where yields keep stalling behind a
  // busy process. Each side shortens its spin while spins keep running out,
  // and no spin outlasts its limit, so an idle process uses no CPU. Zero, the
  // default, turns spinning off: whether a spin pays depends on how soon jobs
  // and their completions follow each other, which only the program knows.
  std::chrono::nanoseconds worker_spin{0};
  std::chrono::nanoseconds loop_spin{0};
  // Starts a worker thread, with pthread_create's contract; null means the
  // loop's own start, pthread_create with a 256 KiB stack (the default stack
  // under the sanitizers). Replaced only by tests that need a failing start.
  int (*start_thread)(pthread_t* thread, void* (*entry)(void*), void* argument) = nullptr;
};

class EventLoop;
class ReadinessAwaiter;

// How soon a job is expected to finish once a worker runs it; decides whether
// the loop spins for its completion or sleeps in the reactor at once.
enum class JobWait {
  // Within microseconds: a write to a pipe, a flush.
  kBrief,
  // When input arrives from outside, which may take any time: a read on a
  // pipe. The loop spins for it only right after a reactor event, which is
  // when the input has likely arrived and woken the worker too.
  kForInput,
};

namespace event_loop_internal {

class BlockingPool;
class CompletionQueue;

// What the reactor has recorded for one descriptor. Closure bits are sticky:
// after a hang-up or an end of a direction no further edge will come, so they
// are never cleared.
inline constexpr std::uint8_t kReadable = 1;
inline constexpr std::uint8_t kWritable = 2;
inline constexpr std::uint8_t kReadClosed = 4;
inline constexpr std::uint8_t kWriteClosed = 8;

struct IoRecord {
  int fd = -1;
  // Counts the events recorded for this descriptor, so that clear_readiness
  // can tell whether one arrived after the readiness it was told about.
  std::uint64_t tick = 0;
  std::uint8_t bits = 0;
  ReadinessAwaiter* reader = nullptr;
  ReadinessAwaiter* writer = nullptr;
};

}  // namespace event_loop_internal

// A note of the readiness a wait observed: which direction, and the event tick
// of the descriptor at that moment.
class Readiness {
 public:
  Readiness() = default;
  // The direction was closed (peer end, hang-up or socket error): the next
  // read or write reports the end or the error instead of blocking.
  bool closed() const { return closed_; }

 private:
  friend class EventLoop;
  friend class ReadinessAwaiter;

  std::uint64_t tick_ = 0;
  std::uint8_t ready_bit_ = 0;
  bool closed_ = false;
};

// One descriptor's entry in the reactor. Move-only; deregisters itself when
// destroyed if deregister was not called. Must not outlive its EventLoop.
class Registration {
 public:
  Registration() = default;
  Registration(Registration&& other) noexcept;
  Registration& operator=(Registration&& other) noexcept;
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  ~Registration();

 private:
  friend class EventLoop;
  Registration(EventLoop* loop, event_loop_internal::IoRecord* record) : loop_(loop), record_(record) {}

  EventLoop* loop_ = nullptr;
  event_loop_internal::IoRecord* record_ = nullptr;
};

// co_await -> Readiness. Ready at once when the readiness or closure of its
// direction is already recorded; otherwise the loop resumes it at the next
// event. One waiter per direction and registration.
class ReadinessAwaiter {
 public:
  bool await_ready() noexcept {
    if ((record_->bits & (ready_bit_ | closed_bit_)) == 0) return false;
    note_ = observe();
    return true;
  }
  void await_suspend(std::coroutine_handle<> waiter) noexcept;
  Readiness await_resume() const noexcept { return note_; }

 private:
  friend class EventLoop;
  ReadinessAwaiter(event_loop_internal::IoRecord* record, std::uint8_t ready_bit, std::uint8_t closed_bit)
      : record_(record), ready_bit_(ready_bit), closed_bit_(closed_bit) {}
  Readiness observe() const;

  event_loop_internal::IoRecord* record_;
  std::uint8_t ready_bit_;
  std::uint8_t closed_bit_;
  std::coroutine_handle<> waiter_;
  Readiness note_;
};

// co_await -> void, at or after the deadline.
class SleepAwaiter {
 public:
  bool await_ready() const noexcept { return !positive_; }
  void await_suspend(std::coroutine_handle<> waiter) const;
  void await_resume() const noexcept {}

 private:
  friend class EventLoop;
  SleepAwaiter(EventLoop* loop, std::chrono::steady_clock::time_point deadline, bool positive)
      : loop_(loop), deadline_(deadline), positive_(positive) {}

  EventLoop* loop_;
  std::chrono::steady_clock::time_point deadline_;
  bool positive_;
};

// The handle of a job given to a worker. Move-only. `co_await handle` yields
// the job's result once it has finished. Dropping the handle unawaited lets
// the job run to its end; the result is then thrown away on the loop thread.
template <class R>
class [[nodiscard]] JobHandle {
 public:
  class Awaiter {
   public:
    explicit Awaiter(event_loop_internal::JobWithResult<R>* job) : job_(job) {}
    bool await_ready() const noexcept { return job_->finished_; }
    void await_suspend(std::coroutine_handle<> waiter) const noexcept {
      TRELLUNE_CHECK(!job_->waiter_);
      job_->waiter_ = waiter;
    }
    R await_resume() const {
      TRELLUNE_CHECK(job_->finished_);
      if constexpr (std::is_void_v<R>) {
        return;
      } else {
        TRELLUNE_CHECK(job_->result_.has_value());
        R result = std::move(*job_->result_);
        job_->result_.reset();
        return result;
      }
    }

   private:
    event_loop_internal::JobWithResult<R>* job_;
  };

  JobHandle() = default;
  JobHandle(JobHandle&& other) noexcept : job_(std::exchange(other.job_, nullptr)) {}
  JobHandle& operator=(JobHandle&& other) noexcept {
    if (this != &other) {
      release();
      job_ = std::exchange(other.job_, nullptr);
    }
    return *this;
  }
  JobHandle(const JobHandle&) = delete;
  JobHandle& operator=(const JobHandle&) = delete;
  ~JobHandle() { release(); }

  Awaiter operator co_await() & noexcept { return Awaiter(checked()); }
  Awaiter operator co_await() && noexcept { return Awaiter(checked()); }

 private:
  friend class EventLoop;
  explicit JobHandle(event_loop_internal::JobWithResult<R>* job) : job_(job) {}

  event_loop_internal::JobWithResult<R>* checked() const {
    TRELLUNE_CHECK(job_ != nullptr);
    return job_;
  }

  void release() {
    if (job_ == nullptr) return;
    if (job_->finished_) {
      delete job_;
    } else {
      // The loop frees it when the completion arrives.
      job_->abandoned_ = true;
    }
    job_ = nullptr;
  }

  event_loop_internal::JobWithResult<R>* job_ = nullptr;
};

class EventLoop {
 public:
  // Creates the epoll instance and the wake-up eventfd. Starts no thread.
  static IoResult<std::unique_ptr<EventLoop>> create(const EventLoopSettings& settings = {});

  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  // Shuts down if shutdown() was not called.
  ~EventLoop();

  // Runs `task` to completion on the calling thread, driving the reactor, the
  // timers and job completions meanwhile; returns as soon as the task has
  // finished, without running anything else.
  template <class T>
  T block_on(Task<T> task) {
    run_until_done(task_internal::TaskAccess::start_handle(task));
    return task_internal::TaskAccess::take_value(task);
  }

  // Enters `fd` edge-triggered for read and write readiness and hang-up.
  IoResult<Registration> register_fd(int fd);
  // Removes the descriptor from epoll (a failure is ignored, since the
  // descriptor may already be closed) and frees its record. Nothing may be
  // waiting on it.
  void deregister(Registration& registration);

  ReadinessAwaiter wait_readable(Registration& registration);
  // Also completes on a hang-up or socket error, reported as closure.
  ReadinessAwaiter wait_writable(Registration& registration);
  // Forgets the readiness `observed` reported, unless the reactor recorded a
  // newer event for the descriptor since; then the next wait completes at
  // once and no wake-up is lost. Closure is never forgotten.
  void clear_readiness(Registration& registration, Readiness observed);

  // For a descriptor whose readiness the loop answers with a job (a reply that
  // is then written to standard output): an idle worker sleeps watching it
  // too, so the kernel wakes that worker together with the loop instead of
  // the loop waking it afterwards. One descriptor at a time; deregistering it
  // ends the watch. Only a hint: events still reach tasks through the waits.
  // The first call creates the eventfd that wakes a watching worker, and
  // fails if it cannot; nothing is watched then.
  IoStatus wake_idle_worker_on(Registration& registration);

  SleepAwaiter sleep_for(std::chrono::nanoseconds duration);

  // The descriptors the loop keeps for itself: its epoll instance and the
  // eventfds that its threads wake each other with (-1 for one not made yet:
  // a watching worker's is made by the first wake_idle_worker_on).
  struct OwnDescriptors {
    int poller = -1;
    std::array<int, 2> wakers{-1, -1};
  };
  OwnDescriptors own_descriptors() const;

  // Starts no more worker threads, for a process about to refuse itself
  // thread starts: later jobs wait for the workers running now (at least
  // one, started by an earlier job), and the last of them never ends.
  void stop_starting_workers();

  // Hands a blocking job to a worker thread.
  template <class F>
  JobHandle<std::invoke_result_t<F>> run_job(F job, JobWait wait = JobWait::kBrief) {
    using R = std::invoke_result_t<F>;
    static_assert(!std::is_reference_v<R>, "a job yields a value, not a reference");
    auto* state = new event_loop_internal::JobImpl<F, R>(std::move(job));
    state->brief_ = wait == JobWait::kBrief;
    submit_job(state);
    return JobHandle<R>(state);
  }

  // Stops the scheduler and forgets queued resumptions and timers, lets every
  // queued and running job finish, ends every worker and joins each, with no
  // time limit. Idempotent; nothing may be used afterwards.
  void shutdown();

  // Any thread; for tests and diagnostics.
  std::size_t worker_count() const;
  std::size_t idle_worker_count() const;

 private:
  friend class ReadinessAwaiter;
  friend class SleepAwaiter;

  struct Timer {
    std::chrono::steady_clock::time_point deadline;
    std::coroutine_handle<> waiter;
  };

  EventLoop(const EventLoopSettings& settings, UniqueFd epoll_fd,
            std::unique_ptr<event_loop_internal::CompletionQueue> completions);

  void run_until_done(std::coroutine_handle<> root);
  void submit_job(event_loop_internal::Job* job);
  void add_timer(std::chrono::steady_clock::time_point deadline, std::coroutine_handle<> waiter);
  bool take_completions();
  bool fire_due_timers();
  void wait_for_work();
  // A worker last ran on the CPU the loop runs on now, so it cannot run while
  // the loop holds that CPU.
  bool worker_shares_loop_cpu() const;
  event_loop_internal::SpinEnd spin_for_completion(std::chrono::steady_clock::time_point until);
  void poll_reactor(int timeout_ms);
  void record_event(const epoll_event& event);
  event_loop_internal::IoRecord* checked_record(const Registration& registration) const;

  const EventLoopSettings settings_;
  UniqueFd epoll_fd_;
  std::unique_ptr<event_loop_internal::CompletionQueue> completions_;
  std::unique_ptr<event_loop_internal::BlockingPool> pool_;
  event_loop_internal::SpinBudget loop_spin_;
  event_loop_internal::IoRecord* wake_hint_ = nullptr;
  std::vector<epoll_event> events_;
  std::deque<std::coroutine_handle<>> ready_;
  std::vector<Timer> timers_;  // min-heap on deadline
  std::size_t jobs_in_flight_ = 0;
  std::size_t brief_jobs_in_flight_ = 0;
  // The last reactor poll returned outside events that resumed nothing:
  // hints, such as input arriving for a worker's read.
  bool woke_without_resuming_ = false;
  unsigned polls_skipped_ = 0;
  bool running_ = false;
  bool shut_down_ = false;
};

}  // namespace trellune
