// A blocking job in flight between the loop and a worker thread.
//
// Ownership: the JobHandle holds the job until the worker has finished it.
// The worker writes the result and publishes the job on the completion queue;
// from then on only the loop thread touches it. The loop-side fields
// (`waiter_`, `brief_`, `finished_`, `abandoned_`) are never read by a worker, so they
// need no synchronisation.
#pragma once

#include <coroutine>
#include <optional>
#include <type_traits>
#include <utility>

namespace trellune::event_loop_internal {

class Job {
 public:
  Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  virtual ~Job() = default;

  // Runs on a worker thread, exactly once.
  virtual void run() = 0;

  // Intrusive link: first in the pool's pending queue, then in the completion
  // queue. A job is in at most one of them at a time.
  Job* next_ = nullptr;

  // Loop thread only.
  std::coroutine_handle<> waiter_;
  bool brief_ = true;
  bool finished_ = false;
  bool abandoned_ = false;
};

template <class R>
class JobWithResult : public Job {
 public:
  std::optional<R> result_;
};

template <>
class JobWithResult<void> : public Job {};

template <class F, class R>
class JobImpl final : public JobWithResult<R> {
 public:
  explicit JobImpl(F function) : function_(std::move(function)) {}

  void run() override {
    if constexpr (std::is_void_v<R>) {
      std::move(function_)();
    } else {
      this->result_.emplace(std::move(function_)());
    }
  }

 private:
  F function_;
};

}  // namespace trellune::event_loop_internal
