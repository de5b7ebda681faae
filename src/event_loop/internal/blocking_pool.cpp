#include "event_loop/internal/blocking_pool.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>

#include "event_loop/internal/spin.hpp"
#include "base/fatal.hpp"
#include "io_error/io_error.hpp"

namespace trellune::event_loop_internal {
namespace {

// A worker's hand-over word. Only the worker moves itself between Running,
// Spinning and Sleeping; the submitting thread (holding the pool mutex, and
// only while the worker is listed idle) moves it to HasJob or Exit.
constexpr std::uint32_t kRunning = 0;
constexpr std::uint32_t kSpinning = 1;
constexpr std::uint32_t kSleeping = 2;
constexpr std::uint32_t kHasJob = 3;
constexpr std::uint32_t kExit = 4;

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit integer");

// The futex is used directly because std::atomic::wait has no timeout, and
// the idle timeout needs one.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::chrono::nanoseconds timeout) {
  timespec relative{};
  relative.tv_sec = static_cast<std::time_t>(timeout.count() / 1'000'000'000);
  relative.tv_nsec = static_cast<long>(timeout.count() % 1'000'000'000);
  // Returns on a wake, on a word that no longer holds `expected` (EAGAIN), on
  // a signal (EINTR) or at the timeout; the caller re-reads the word in every
  // case, so the result itself carries nothing.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, &relative,
            nullptr, 0);
}

void futex_wake_one(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

constexpr char kWorkerThreadName[] = "trellune-worker";
static_assert(sizeof kWorkerThreadName <= 16, "Linux thread names hold 15 bytes");

}  // namespace

struct BlockingPool::Worker {
  Worker(BlockingPool& owner, std::chrono::nanoseconds spin_limit) : pool(owner), spin(spin_limit) {}

  BlockingPool& pool;
  SpinBudget spin;  // the worker's own thread only
  pthread_t thread{};
  std::atomic<std::uint32_t> state{kHasJob};
  Job* job = nullptr;  // written by the submitter before HasJob is published
  bool ended = false;  // guarded by the pool mutex
};

BlockingPool::BlockingPool(const BlockingPoolOptions& options, CompletionQueue& completions)
    : options_(options), completions_(completions) {
  TRELLUNE_CHECK(options_.max_workers > 0);
  TRELLUNE_CHECK(options_.start_thread != nullptr);
}

BlockingPool::~BlockingPool() { shutdown(); }

void BlockingPool::submit(Job* job) {
  std::vector<std::unique_ptr<Worker>> ended;
  Worker* to_wake = nullptr;
  {
    std::lock_guard lock(mutex_);
    TRELLUNE_CHECK(!shut_down_);
    // Workers that timed out are joined here, so that a long run does not
    // pile up finished but unjoined threads.
    if (ended_unjoined_ > 0) ended = take_ended_locked();

    if (!idle_.empty()) {
      Worker* worker = idle_.back();
      idle_.pop_back();
      worker->job = job;
      if (worker->state.exchange(kHasJob, std::memory_order_acq_rel) == kSleeping) to_wake = worker;
    } else if (live_workers_ < options_.max_workers) {
      auto worker = std::make_unique<Worker>(*this, options_.spin);
      worker->job = job;
      const int error = options_.start_thread(&worker->thread, &BlockingPool::worker_entry, worker.get());
      if (error == 0) {
        ++live_workers_;
        workers_.push_back(std::move(worker));
      } else if (error == EAGAIN && live_workers_ > 0) {
        // A temporary shortage: a running worker takes the job from the
        // queue when it finishes its own.
        enqueue_locked(job);
      } else {
        TRELLUNE_FATAL("OS can't spawn worker thread: " + IoError::from_os_code(error).display_string());
      }
    } else {
      enqueue_locked(job);
    }
  }
  // The worker cannot end before it has run the job, so it is still there.
  if (to_wake != nullptr) futex_wake_one(to_wake->state);
  for (const auto& worker : ended) pthread_join(worker->thread, nullptr);
}

void BlockingPool::shutdown() {
  std::vector<std::unique_ptr<Worker>> all;
  {
    std::lock_guard lock(mutex_);
    if (shut_down_) return;
    shut_down_ = true;
    for (Worker* worker : idle_) {
      if (worker->state.exchange(kExit, std::memory_order_acq_rel) == kSleeping) futex_wake_one(worker->state);
    }
    idle_.clear();
    all = std::move(workers_);
    workers_.clear();
  }
  // Busy workers finish their job and whatever is queued, then see the flag.
  for (const auto& worker : all) pthread_join(worker->thread, nullptr);
  std::lock_guard lock(mutex_);
  TRELLUNE_CHECK(live_workers_ == 0 && queue_head_ == nullptr);
  ended_unjoined_ = 0;
}

std::size_t BlockingPool::worker_count() const {
  std::lock_guard lock(mutex_);
  return live_workers_;
}

std::size_t BlockingPool::idle_worker_count() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

void* BlockingPool::worker_entry(void* argument) {
  Worker& worker = *static_cast<Worker*>(argument);
  set_current_thread_name(kWorkerThreadName);
  pthread_setname_np(pthread_self(), kWorkerThreadName);
  worker.pool.worker_main(worker);
  return nullptr;
}

void BlockingPool::worker_main(Worker& worker) {
  Job* job = take_assignment(worker, worker.state.load(std::memory_order_acquire));
  while (job != nullptr) {
    job->run();
    const Clock::time_point idle_since = Clock::now();
    Job* queued = nullptr;
    bool end = false;
    {
      // Listed idle before the completion is published: the task that awaited
      // this job usually hands over the next one at once, and must find this
      // worker rather than start another.
      std::lock_guard lock(mutex_);
      if (queue_head_ != nullptr) {
        queued = queue_head_;
        queue_head_ = queued->next_;
        if (queue_head_ == nullptr) queue_tail_ = nullptr;
        queued->next_ = nullptr;
      } else if (shut_down_) {
        end_worker_locked(worker);
        end = true;
      } else {
        worker.state.store(kSpinning, std::memory_order_relaxed);
        idle_.push_back(&worker);
      }
    }
    // The loop may free the job as soon as it is pushed.
    completions_.push(job);
    if (queued != nullptr) {
      job = queued;
    } else if (end) {
      job = nullptr;
    } else {
      job = wait_for_assignment(worker, idle_since);
    }
  }
}

Job* BlockingPool::wait_for_assignment(Worker& worker, Clock::time_point idle_since) {
  // A job often follows the last one within microseconds (a write, then its
  // newline, then a flush). Spinning briefly takes it without the futex
  // round trip, which costs tens of microseconds when the threads sit on
  // different CPUs. The spin is bounded, so an idle process sleeps.
  std::uint32_t state = kSpinning;
  if (worker.spin.current().count() > 0) {
    const Clock::time_point spin_until = idle_since + worker.spin.current();
    for (unsigned round = 1;; ++round) {
      state = worker.state.load(std::memory_order_acquire);
      if (state != kSpinning) {
        worker.spin.succeeded();
        return take_assignment(worker, state);
      }
      cpu_relax();
      if (round % 16 == 0) {
        if (Clock::now() >= spin_until) break;
        yield_cpu();
      }
    }
    worker.spin.ran_out();
  }
  if (!worker.state.compare_exchange_strong(state, kSleeping, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
    return take_assignment(worker, state);
  }

  const Clock::time_point idle_until = idle_since + options_.idle_timeout;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= idle_until) {
      std::unique_lock lock(mutex_);
      // Under the mutex no job can be handed over concurrently: either one
      // already was, or the worker leaves the idle list and ends.
      state = worker.state.load(std::memory_order_acquire);
      if (state == kSleeping) {
        idle_.erase(std::find(idle_.begin(), idle_.end(), &worker));
        end_worker_locked(worker);
        return nullptr;
      }
      lock.unlock();
      return take_assignment(worker, state);
    }
    futex_wait(worker.state, kSleeping, idle_until - now);
    state = worker.state.load(std::memory_order_acquire);
    if (state != kSleeping) return take_assignment(worker, state);
  }
}

Job* BlockingPool::take_assignment(Worker& worker, std::uint32_t state) {
  if (state == kExit) {
    std::lock_guard lock(mutex_);
    end_worker_locked(worker);
    return nullptr;
  }
  TRELLUNE_CHECK(state == kHasJob);
  Job* job = worker.job;
  worker.job = nullptr;
  worker.state.store(kRunning, std::memory_order_relaxed);
  return job;
}

void BlockingPool::end_worker_locked(Worker& worker) {
  worker.ended = true;
  --live_workers_;
  ++ended_unjoined_;
}

std::vector<std::unique_ptr<BlockingPool::Worker>> BlockingPool::take_ended_locked() {
  std::vector<std::unique_ptr<Worker>> ended;
  const auto first_ended = std::stable_partition(workers_.begin(), workers_.end(),
                                                 [](const std::unique_ptr<Worker>& w) { return !w->ended; });
  std::move(first_ended, workers_.end(), std::back_inserter(ended));
  workers_.erase(first_ended, workers_.end());
  ended_unjoined_ = 0;
  return ended;
}

void BlockingPool::enqueue_locked(Job* job) {
  job->next_ = nullptr;
  if (queue_tail_ == nullptr) {
    queue_head_ = job;
  } else {
    queue_tail_->next_ = job;
  }
  queue_tail_ = job;
}

}  // namespace trellune::event_loop_internal
