// Task<T>: a lazy, move-only coroutine that yields one T.
//
// A task does nothing until it is awaited (or handed to EventLoop::block_on).
// `co_await task` runs it at once, inside the awaiting coroutine's
// await_suspend. If it finishes without suspending, the awaiting coroutine
// simply goes on (await_suspend returns false), so a long run of awaits that
// finish at once keeps a flat stack whatever the compiler does with tail
// calls; GCC never turns a symmetric transfer into a tail call under
// AddressSanitizer, and not at -O0 without -foptimize-sibling-calls. If the
// task suspends, its final suspend later hands control straight back to the
// awaiting coroutine by symmetric transfer.
#pragma once

#include <coroutine>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fatal.hpp"

namespace trellune {

template <class T = void>
class Task;

namespace task_internal {

class PromiseBase {
 public:
  struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) const noexcept {
      const PromiseBase& promise = self.promise();
      // Started inline and never suspended: returning lands back in the
      // awaiter's await_suspend, which lets the awaiting coroutine go on.
      if (promise.running_inline_ || !promise.continuation_) return std::noop_coroutine();
      return promise.continuation_;
    }
    void await_resume() const noexcept {}
  };

  std::suspend_always initial_suspend() const noexcept { return {}; }
  FinalAwaiter final_suspend() const noexcept { return {}; }
  // The product is built without exceptions; one escaping a task means a
  // library threw anyway, and there is nothing sound to continue with.
  void unhandled_exception() const noexcept { TRELLUNE_FATAL("exception escaped a task"); }

  // Runs the task on behalf of `awaiting`; true if it suspended, and then its
  // final suspend resumes `awaiting`.
  bool start(std::coroutine_handle<> self, std::coroutine_handle<> awaiting) {
    continuation_ = awaiting;
    running_inline_ = true;
    self.resume();
    running_inline_ = false;
    return !self.done();
  }

 private:
  std::coroutine_handle<> continuation_;
  bool running_inline_ = false;
};

template <class T>
class Promise : public PromiseBase {
 public:
  Task<T> get_return_object() noexcept;
  void return_value(T value) { value_.emplace(std::move(value)); }
  T take_value() {
    TRELLUNE_CHECK(value_.has_value());
    return std::move(*value_);
  }

 private:
  std::optional<T> value_;
};

template <>
class Promise<void> : public PromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  void return_void() const noexcept {}
  void take_value() const noexcept {}
};

// Lets the event loop drive a root task without widening Task's interface.
struct TaskAccess {
  template <class T>
  static std::coroutine_handle<> start_handle(Task<T>& task);
  template <class T>
  static T take_value(Task<T>& task);
};

}  // namespace task_internal

template <class T>
class [[nodiscard]] Task {
  static_assert(!std::is_reference_v<T>, "a task yields a value, not a reference");

 public:
  using promise_type = task_internal::Promise<T>;

  class Awaiter {
   public:
    explicit Awaiter(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    // A task is lazy: it has never run when it is awaited.
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> awaiting) const { return handle_.promise().start(handle_, awaiting); }
    T await_resume() const { return handle_.promise().take_value(); }

   private:
    std::coroutine_handle<promise_type> handle_;
  };

  Task() = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  // A task is awaited once; awaiting an empty or finished task is a bug.
  Awaiter operator co_await() & noexcept { return Awaiter(checked_unstarted()); }
  Awaiter operator co_await() && noexcept { return Awaiter(checked_unstarted()); }

 private:
  friend class task_internal::Promise<T>;
  friend struct task_internal::TaskAccess;

  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}

  std::coroutine_handle<promise_type> checked_unstarted() const {
    TRELLUNE_CHECK(handle_ && !handle_.done());
    return handle_;
  }

  void reset() {
    if (handle_) handle_.destroy();
    handle_ = {};
  }

  std::coroutine_handle<promise_type> handle_;
};

namespace task_internal {

template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}

inline Task<void> Promise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

template <class T>
std::coroutine_handle<> TaskAccess::start_handle(Task<T>& task) {
  return task.checked_unstarted();
}

template <class T>
T TaskAccess::take_value(Task<T>& task) {
  TRELLUNE_CHECK(task.handle_ && task.handle_.done());
  return task.handle_.promise().take_value();
}

}  // namespace task_internal
}  // namespace trellune
