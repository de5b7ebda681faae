#include "event_loop/event_loop.hpp"

#include <pthread.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <string>

#include "base/sanitizers.hpp"
#include "event_loop/internal/blocking_pool.hpp"
#include "event_loop/internal/completion_queue.hpp"
#include "event_loop/internal/spin.hpp"

namespace trellune {
namespace {

using Clock = std::chrono::steady_clock;
using event_loop_internal::IoRecord;
using event_loop_internal::kReadable;
using event_loop_internal::kReadClosed;
using event_loop_internal::kWritable;
using event_loop_internal::kWriteClosed;

// While completions or timers keep producing work, the reactor is still
// polled (without blocking) after this many rounds, so sockets are not
// starved by a steady stream of jobs.
constexpr unsigned kMaxRoundsWithoutPoll = 64;

// Orders the timer heap so that its front is the nearest deadline.
bool later(const auto& a, const auto& b) { return a.deadline > b.deadline; }

// A worker runs one read, write or flush at a time and keeps its buffers on
// the heap, so it needs a few kilobytes of stack, not the 8 MiB that glibc
// reserves by default. The reservation counts against an address-space limit
// (ulimit -v); what the smaller one saves is in docs/performance-log.md,
// "Small worker stacks". The sanitizers' instrumented frames are far larger,
// so they keep the default.
constexpr std::size_t kWorkerStackBytes = 256 * 1024;

int pthread_start(pthread_t* thread, void* (*entry)(void*), void* argument) {
  if constexpr (TRELLUNE_ADDRESS_SANITIZER || TRELLUNE_THREAD_SANITIZER) {
    return pthread_create(thread, nullptr, entry, argument);
  }
  pthread_attr_t attributes;
  if (const int error = pthread_attr_init(&attributes); error != 0) return error;
  int error = pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  if (error == 0) error = pthread_create(thread, &attributes, entry, argument);
  pthread_attr_destroy(&attributes);
  return error;
}

}  // namespace

Registration::Registration(Registration&& other) noexcept
    : loop_(std::exchange(other.loop_, nullptr)), record_(std::exchange(other.record_, nullptr)) {}

Registration& Registration::operator=(Registration&& other) noexcept {
  if (this != &other) {
    if (record_ != nullptr) loop_->deregister(*this);
    loop_ = std::exchange(other.loop_, nullptr);
    record_ = std::exchange(other.record_, nullptr);
  }
  return *this;
}

Registration::~Registration() {
  if (record_ != nullptr) loop_->deregister(*this);
}

void ReadinessAwaiter::await_suspend(std::coroutine_handle<> waiter) noexcept {
  waiter_ = waiter;
  ReadinessAwaiter*& slot = ready_bit_ == kReadable ? record_->reader : record_->writer;
  TRELLUNE_CHECK(slot == nullptr);
  slot = this;
}

Readiness ReadinessAwaiter::observe() const {
  Readiness note;
  note.tick_ = record_->tick;
  note.ready_bit_ = ready_bit_;
  note.closed_ = (record_->bits & closed_bit_) != 0;
  return note;
}

void SleepAwaiter::await_suspend(std::coroutine_handle<> waiter) const { loop_->add_timer(deadline_, waiter); }

IoResult<std::unique_ptr<EventLoop>> EventLoop::create(const EventLoopSettings& settings) {
  if (settings.max_events_per_wait <= 0 || settings.max_workers == 0 || settings.worker_idle_timeout.count() < 0 ||
      settings.worker_spin.count() < 0 || settings.loop_spin.count() < 0) {
    return IoError::with_static_message(IoErrorKind::InvalidInput, "invalid event loop settings");
  }
  UniqueFd epoll_fd(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_fd) return io_error_from_errno();
  UniqueFd wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_fd) return io_error_from_errno();
  // Level-triggered: a wake-up stays visible until the loop has read it.
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  if (::epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, wake_fd.get(), &event) != 0) return io_error_from_errno();
  auto completions = std::make_unique<event_loop_internal::CompletionQueue>(std::move(wake_fd));
  return std::unique_ptr<EventLoop>(new EventLoop(settings, std::move(epoll_fd), std::move(completions)));
}

EventLoop::EventLoop(const EventLoopSettings& settings, UniqueFd epoll_fd,
                     std::unique_ptr<event_loop_internal::CompletionQueue> completions)
    : settings_(settings),
      epoll_fd_(std::move(epoll_fd)),
      completions_(std::move(completions)),
      loop_spin_(settings.loop_spin),
      events_(static_cast<std::size_t>(settings.max_events_per_wait)) {
  const event_loop_internal::BlockingPoolOptions options{
      settings.max_workers, settings.worker_idle_timeout, settings.worker_spin,
      settings.start_thread != nullptr ? settings.start_thread : &pthread_start};
  pool_ = std::make_unique<event_loop_internal::BlockingPool>(options, *completions_);
}

EventLoop::~EventLoop() { shutdown(); }

void EventLoop::shutdown() {
  if (shut_down_) return;
  TRELLUNE_CHECK(!running_);
  shut_down_ = true;
  // The coroutines these refer to belong to their Task objects; the loop only
  // forgets that it was going to resume them.
  ready_.clear();
  timers_.clear();
  pool_->shutdown();
  // Every job has now finished; free the abandoned ones.
  take_completions();
  ready_.clear();
  TRELLUNE_CHECK(jobs_in_flight_ == 0);
}

std::size_t EventLoop::worker_count() const { return pool_->worker_count(); }
std::size_t EventLoop::idle_worker_count() const { return pool_->idle_worker_count(); }

IoResult<Registration> EventLoop::register_fd(int fd) {
  TRELLUNE_CHECK(!shut_down_);
  auto record = std::make_unique<IoRecord>();
  record->fd = fd;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.ptr = record.get();
  if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, fd, &event) != 0) return io_error_from_errno();
  return Registration(this, record.release());
}

void EventLoop::deregister(Registration& registration) {
  IoRecord* record = registration.record_;
  if (record == nullptr) return;
  // A waiter left here would never be resumed.
  TRELLUNE_CHECK(record->reader == nullptr && record->writer == nullptr);
  // Before the owner closes the descriptor, whose number may then be reused.
  if (wake_hint_ == record) {
    wake_hint_ = nullptr;
    pool_->clear_wake_hint();
  }
  // Ignored: the descriptor may already be closed, which removed it anyway.
  ::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, record->fd, nullptr);
  // Safe to free now: a batch of events is recorded in full before any task
  // runs, and after EPOLL_CTL_DEL no later batch can name this record.
  delete record;
  registration.record_ = nullptr;
  registration.loop_ = nullptr;
}

ReadinessAwaiter EventLoop::wait_readable(Registration& registration) {
  return ReadinessAwaiter(checked_record(registration), kReadable, kReadClosed);
}

ReadinessAwaiter EventLoop::wait_writable(Registration& registration) {
  return ReadinessAwaiter(checked_record(registration), kWritable, kWriteClosed);
}

void EventLoop::clear_readiness(Registration& registration, Readiness observed) {
  IoRecord* record = checked_record(registration);
  if (record->tick == observed.tick_) record->bits = static_cast<std::uint8_t>(record->bits & ~observed.ready_bit_);
}

IoStatus EventLoop::wake_idle_worker_on(Registration& registration) {
  IoRecord* record = checked_record(registration);
  if (IoStatus set = pool_->set_wake_hint(record->fd); !set) return set;
  wake_hint_ = record;
  return {};
}

EventLoop::OwnDescriptors EventLoop::own_descriptors() const {
  return {epoll_fd_.get(), {completions_->wake_fd(), pool_->hint_wake_fd()}};
}

void EventLoop::stop_starting_workers() { pool_->stop_starting_workers(); }

SleepAwaiter EventLoop::sleep_for(std::chrono::nanoseconds duration) {
  return SleepAwaiter(this, Clock::now() + duration, duration.count() > 0);
}

IoRecord* EventLoop::checked_record(const Registration& registration) const {
  TRELLUNE_CHECK(registration.record_ != nullptr && registration.loop_ == this);
  return registration.record_;
}

void EventLoop::submit_job(event_loop_internal::Job* job) {
  TRELLUNE_CHECK(!shut_down_);
  ++jobs_in_flight_;
  if (job->brief_) ++brief_jobs_in_flight_;
  pool_->submit(job);
}

void EventLoop::add_timer(Clock::time_point deadline, std::coroutine_handle<> waiter) {
  timers_.push_back(Timer{deadline, waiter});
  std::push_heap(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) { return later(a, b); });
}

void EventLoop::run_until_done(std::coroutine_handle<> root) {
  TRELLUNE_CHECK(!running_ && !shut_down_);
  running_ = true;
  ready_.push_back(root);
  for (;;) {
    while (!ready_.empty()) {
      const std::coroutine_handle<> next = ready_.front();
      ready_.pop_front();
      next.resume();
      if (root.done()) {
        running_ = false;
        return;
      }
    }
    bool more = take_completions();
    more = fire_due_timers() || more;
    if (!more) {
      wait_for_work();
    } else if (++polls_skipped_ >= kMaxRoundsWithoutPoll) {
      poll_reactor(0);
    }
  }
}

bool EventLoop::take_completions() {
  event_loop_internal::Job* job = completions_->take_all();
  if (job == nullptr) return false;
  while (job != nullptr) {
    event_loop_internal::Job* next = job->next_;
    job->next_ = nullptr;
    --jobs_in_flight_;
    if (job->brief_) --brief_jobs_in_flight_;
    job->finished_ = true;
    if (job->abandoned_) {
      delete job;
    } else if (job->waiter_) {
      ready_.push_back(std::exchange(job->waiter_, {}));
    }
    job = next;
  }
  return true;
}

bool EventLoop::fire_due_timers() {
  if (timers_.empty()) return false;
  const Clock::time_point now = Clock::now();
  bool fired = false;
  while (!timers_.empty() && timers_.front().deadline <= now) {
    std::pop_heap(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) { return later(a, b); });
    ready_.push_back(timers_.back().waiter);
    timers_.pop_back();
    fired = true;
  }
  return fired;
}

void EventLoop::wait_for_work() {
  int timeout_ms = -1;
  Clock::time_point next_deadline = Clock::time_point::max();
  Clock::time_point now{};
  if (!timers_.empty()) {
    next_deadline = timers_.front().deadline;
    now = Clock::now();
    // Rounded up: waking before the deadline would only loop back here.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_deadline - now).count();
    timeout_ms = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
  }
  // A job that waits for outside input may take any time; spinning for it
  // pays only right after an outside event, which has likely woken its worker,
  // or while its worker waits for the loop's own CPU. The spin then yields
  // that CPU to it at once, which costs less than a sleep in the reactor and
  // the wake-up after it; and a loop that does not sleep is not woken, ahead
  // of the worker, by the input the job waits for.
  const bool completion_near =
      brief_jobs_in_flight_ > 0 ||
      (jobs_in_flight_ > 0 && (woke_without_resuming_ || worker_shares_loop_cpu()));
  woke_without_resuming_ = false;
  if (timeout_ms != 0 && completion_near && loop_spin_.current().count() > 0) {
    if (timers_.empty()) now = Clock::now();
    const event_loop_internal::SpinEnd end = spin_for_completion(std::min(now + loop_spin_.current(), next_deadline));
    loop_spin_.record(end);
    if (end == event_loop_internal::SpinEnd::kDone) {
      if (++polls_skipped_ < kMaxRoundsWithoutPoll) return;
      timeout_ms = 0;
    }
  }
  poll_reactor(timeout_ms);
}

bool EventLoop::worker_shares_loop_cpu() const {
  return completions_->worker_cpu().last_was(event_loop_internal::current_cpu());
}

// A job that finishes within microseconds (a write to a pipe, a flush) would
// otherwise cost an eventfd write and an epoll wake-up, tens of microseconds
// when the worker runs on another CPU. The spin makes no system call but a
// yield to a worker on the loop's CPU, is bounded and runs only while a
// completion is near, so an idle loop sleeps.
event_loop_internal::SpinEnd EventLoop::spin_for_completion(Clock::time_point until) {
  event_loop_internal::CompletionQueue& completions = *completions_;
  return event_loop_internal::spin_until(
      until, completions.loop_cpu(), completions.worker_cpu(), completions.yields(),
      [&] { return completions.has_pending(); },
      [] { return false; });
}

void EventLoop::poll_reactor(int timeout_ms) {
  polls_skipped_ = 0;
  bool announced_sleep = false;
  if (timeout_ms != 0) {
    announced_sleep = completions_->prepare_sleep();
    if (!announced_sleep) timeout_ms = 0;
  }
  const int count = ::epoll_wait(epoll_fd_.get(), events_.data(), settings_.max_events_per_wait, timeout_ms);
  if (announced_sleep) {
    completions_->end_sleep();
    completions_->loop_cpu().note_current();
  }
  if (count < 0) {
    // A signal cut the wait short; the caller recomputes the timeout.
    if (errno == EINTR) return;
    TRELLUNE_FATAL("epoll_wait failed: " + io_error_from_errno().display_string());
  }
  // The whole batch is recorded before any task runs, so no task can free a
  // record that a later entry of the batch still points to.
  const std::size_t ready_before = ready_.size();
  bool outside_event = false;
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events_[static_cast<std::size_t>(i)];
    outside_event = outside_event || event.data.ptr != nullptr;
    record_event(event);
  }
  woke_without_resuming_ = outside_event && ready_.size() == ready_before;
}

void EventLoop::record_event(const epoll_event& event) {
  if (event.data.ptr == nullptr) {
    completions_->drain_wakeups();
    return;
  }
  auto* record = static_cast<IoRecord*>(event.data.ptr);
  ++record->tick;
  std::uint8_t bits = 0;
  if ((event.events & EPOLLIN) != 0) bits |= kReadable;
  if ((event.events & EPOLLOUT) != 0) bits |= kWritable;
  if ((event.events & EPOLLRDHUP) != 0) bits |= kReadClosed;
  // A hang-up or a pending socket error ends both directions: a read or a
  // write now returns at once, with the end or with the error.
  if ((event.events & (EPOLLHUP | EPOLLERR)) != 0) bits |= kReadClosed | kWriteClosed;
  record->bits |= bits;

  const auto wake = [this](ReadinessAwaiter*& slot) {
    ReadinessAwaiter* awaiter = std::exchange(slot, nullptr);
    awaiter->note_ = awaiter->observe();
    ready_.push_back(awaiter->waiter_);
  };
  if (record->reader != nullptr && (record->bits & (kReadable | kReadClosed)) != 0) wake(record->reader);
  if (record->writer != nullptr && (record->bits & (kWritable | kWriteClosed)) != 0) wake(record->writer);
}

}  // namespace trellune
