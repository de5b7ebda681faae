#include "event_loop/internal/blocking_pool.hpp"

#include <linux/futex.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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
  Worker(BlockingPool& owner, std::chrono::nanoseconds spin_limit)
      : pool(owner), spin(spin_limit), hinted_spin(spin_limit) {}

  BlockingPool& pool;
  // The worker's own thread only: after a job, and after the wake hint fired.
  SpinBudget spin;
  SpinBudget hinted_spin;
  pthread_t thread{};
  std::atomic<std::uint32_t> state{kHasJob};
  // Set by the worker before it publishes Sleeping, cleared only once it has
  // left that sleep: tells the submitter which wake-up reaches it.
  std::atomic<bool> watching{false};
  Job* job = nullptr;  // written by the submitter before HasJob is published
  bool ended = false;  // guarded by the pool mutex
};

BlockingPool::BlockingPool(const BlockingPoolOptions& options, CompletionQueue& completions)
    : options_(options), completions_(completions), worker_limit_(options.max_workers) {
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
    } else if (live_workers_ < worker_limit_) {
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
  if (to_wake != nullptr) wake(*to_wake);
  for (const auto& worker : ended) pthread_join(worker->thread, nullptr);
}

void BlockingPool::shutdown() {
  std::vector<std::unique_ptr<Worker>> all;
  {
    std::lock_guard lock(mutex_);
    if (shut_down_) return;
    shut_down_ = true;
    for (Worker* worker : idle_) {
      if (worker->state.exchange(kExit, std::memory_order_acq_rel) == kSleeping) wake(*worker);
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

IoStatus BlockingPool::set_wake_hint(int fd) {
  if (!hint_wake_fd_) {
    hint_wake_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!hint_wake_fd_) return io_error_from_errno();
  }
  wake_hint_fd_.store(fd, std::memory_order_release);
  return {};
}

std::size_t BlockingPool::worker_count() const {
  std::lock_guard lock(mutex_);
  return live_workers_;
}

std::size_t BlockingPool::idle_worker_count() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

void BlockingPool::stop_starting_workers() {
  std::lock_guard lock(mutex_);
  TRELLUNE_CHECK(live_workers_ > 0);
  worker_limit_ = live_workers_;
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
    completions_.worker_cpu().note_current();
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
  // A job often follows the last one within microseconds (the next read of
  // input that keeps coming, the next piece of a long write). Spinning
  // briefly takes it without the futex round trip, which costs tens of
  // microseconds when the threads sit on different CPUs. Only a running loop
  // hands over jobs: once it sleeps in the reactor, the next job waits for an
  // outside event of unknown delay, and the worker sleeps too.
  std::uint32_t state = kSpinning;
  if (spin_for_assignment(worker, worker.spin, true, state)) return take_assignment(worker, state);

  const int hint_fd = wake_hint_fd_.load(std::memory_order_acquire);
  bool watch = hint_fd >= 0 && !hint_watched_.exchange(true, std::memory_order_acq_rel);
  worker.watching.store(watch, std::memory_order_relaxed);
  if (!worker.state.compare_exchange_strong(state, kSleeping, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
    if (watch) stop_watching(worker);
    return take_assignment(worker, state);
  }

  Clock::time_point idle_until = idle_since + options_.idle_timeout;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= idle_until) {
      std::unique_lock lock(mutex_);
      // Under the mutex no job can be handed over concurrently: either one
      // already was, or the worker leaves the idle list and ends.
      state = worker.state.load(std::memory_order_acquire);
      if (state == kSleeping && live_workers_ == 1) {
        // The last worker stays, asleep without a deadline: a job after a
        // long wait (a reply that took the application minutes) then needs
        // no thread start, which a task or memory limit reached meanwhile
        // could refuse, ending the process with the reply unwritten.
        idle_until = Clock::time_point::max();
        continue;
      }
      if (watch) stop_watching(worker);
      if (state == kSleeping) {
        idle_.erase(std::find(idle_.begin(), idle_.end(), &worker));
        end_worker_locked(worker);
        return nullptr;
      }
      lock.unlock();
      return take_assignment(worker, state);
    }
    if (!watch) {
      futex_wait(worker.state, kSleeping, idle_until - now);
      state = worker.state.load(std::memory_order_acquire);
      if (state != kSleeping) return take_assignment(worker, state);
      continue;
    }
    const bool hinted = sleep_watching(hint_fd, idle_until - now);
    state = worker.state.load(std::memory_order_acquire);
    if (state != kSleeping) {
      stop_watching(worker);
      return take_assignment(worker, state);
    }
    if (!hinted) continue;  // a stale wake-up, or a signal
    // The event that woke this worker also wakes the loop, which hands over
    // the job it brings within microseconds. The hint stays readable until
    // the loop has read it, so it is watched no longer during this idle spell.
    watch = false;
    stop_watching(worker);
    if (!worker.state.compare_exchange_strong(state, kSpinning, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
      return take_assignment(worker, state);
    }
    state = kSpinning;  // what the exchange stored; a spin turned off leaves it so
    if (spin_for_assignment(worker, worker.hinted_spin, false, state)) return take_assignment(worker, state);
    if (!worker.state.compare_exchange_strong(state, kSleeping, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
      return take_assignment(worker, state);
    }
  }
}

// True once a job (or the exit) has been handed over, with `state` holding
// it. Gives up when the budget's time has passed, when a yield finds that the
// loop is not waiting for this CPU, or, with `while_loop_runs`, as soon as
// the loop sleeps. Makes no system call but those yields.
bool BlockingPool::spin_for_assignment(Worker& worker, SpinBudget& budget, bool while_loop_runs,
                                       std::uint32_t& state) const {
  if (budget.current().count() == 0) return false;
  const SpinEnd end = spin_until(
      Clock::now() + budget.current(), completions_.worker_cpu(), completions_.loop_cpu(), completions_.yields(),
      [&] {
        state = worker.state.load(std::memory_order_acquire);
        return state != kSpinning;
      },
      [&] { return while_loop_runs && completions_.loop_sleeping(); });
  budget.record(end);
  return end == SpinEnd::kDone;
}

// Sleeps until the hint descriptor has an event (true), the submitter's
// eventfd is written, a signal arrives or the timeout passes.
bool BlockingPool::sleep_watching(int hint_fd, Clock::duration timeout) {
  pollfd fds[2] = {{hint_wake_fd_.get(), POLLIN, 0}, {hint_fd, POLLIN, 0}};
  // Rounded up: waking before the idle deadline would only sleep again.
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
  // EINTR and the timeout need nothing here: the caller looks at the state
  // and the clock again in every case.
  ::poll(fds, 2, static_cast<int>(std::min<decltype(milliseconds)>(milliseconds, INT_MAX)));
  if ((fds[0].revents & POLLIN) != 0) {
    std::uint64_t count = 0;
    // Already drained by an earlier wake-up (EAGAIN) means the same.
    [[maybe_unused]] const ssize_t got = ::read(hint_wake_fd_.get(), &count, sizeof count);
  }
  // POLLNVAL (the descriptor was closed meanwhile) also ends the watch.
  return fds[1].revents != 0;
}

void BlockingPool::stop_watching(Worker& worker) {
  worker.watching.store(false, std::memory_order_relaxed);
  hint_watched_.store(false, std::memory_order_release);
}

// Called after moving a Sleeping worker to HasJob or Exit. A worker that
// watches the hint sleeps in poll, which a futex wake would not reach; a
// wake-up that arrives after the worker has already left costs at worst one
// spurious return from a later watch.
void BlockingPool::wake(Worker& worker) {
  if (worker.watching.load(std::memory_order_acquire)) {
    const std::uint64_t one = 1;
    // Cannot block (EFD_NONBLOCK) and cannot fail short of a counter overflow.
    [[maybe_unused]] const ssize_t written = ::write(hint_wake_fd_.get(), &one, sizeof one);
  } else {
    futex_wake_one(worker.state);
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
