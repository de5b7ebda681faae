// Helpers shared by the event loop tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "event_loop/event_loop.hpp"

namespace trellune::testing {

using event_loop_internal::UniqueFd;
using namespace std::chrono_literals;

inline std::unique_ptr<EventLoop> make_loop(const EventLoopSettings& settings = {}) {
  auto created = EventLoop::create(settings);
  if (!created) {
    ADD_FAILURE() << "EventLoop::create failed: " << created.error().debug_string();
    return nullptr;
  }
  return std::move(*created);
}

struct SocketPair {
  UniqueFd near;  // registered with the loop
  UniqueFd far;   // the peer the test drives directly
};

inline SocketPair make_socket_pair() {
  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
    ADD_FAILURE() << "socketpair failed";
  }
  return SocketPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Aborts the test binary if a test hangs, naming the test, long before the
// runner's own timeout would.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit = 20s)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: test hung for %llds\n", static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// A coroutine that starts at once and frees itself at its end; lets a test run
// several waits on the loop at the same time. It must finish before the
// task given to block_on does.
struct Detached {
  struct promise_type {
    Detached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() const noexcept { return {}; }
    std::suspend_never final_suspend() const noexcept { return {}; }
    void return_void() const noexcept {}
    [[noreturn]] void unhandled_exception() const noexcept { std::abort(); }
  };
};

// Opened once by the test; blocking jobs wait on it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  // False if the gate stayed shut for `limit`.
  bool wait(std::chrono::milliseconds limit = 10'000ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace trellune::testing
