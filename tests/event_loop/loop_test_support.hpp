// Helpers shared by the event loop tests. EXPECT_* may be used inside the
// coroutines: they run on the test's own thread, which block_on drives.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <coroutine>
#include <cstdlib>
#include <memory>
#include <thread>

#include "event_loop/event_loop.hpp"

namespace trellune::testing {

using trellune::UniqueFd;
using namespace std::chrono_literals;

// A loop that can't be made ends the test binary: no test goes on without one.
inline std::unique_ptr<EventLoop> make_loop(const EventLoopSettings& settings = {}) {
  auto created = EventLoop::create(settings);
  if (!created) {
    ADD_FAILURE() << "EventLoop::create: " << created.error().debug_string();
    std::abort();
  }
  return std::move(*created);
}

struct SocketPair {
  UniqueFd near;  // registered with the loop
  UniqueFd far;   // the peer the test drives directly
};

inline SocketPair make_socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  return SocketPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Polls `condition` every millisecond for at most `limit`.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5'000ms) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Opened once by the test; blocking jobs wait on it, for ten seconds at most.
struct Gate {
  std::atomic<bool> open{false};
  bool wait() const {
    return eventually([this] { return open.load(); }, 10'000ms);
  }
};

// A coroutine that starts at once and frees itself at its end, so that a test
// can have several waits pending on the loop at the same time. It must finish
// before the task given to block_on does.
struct Detached {
  struct promise_type {
    Detached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() const noexcept { return {}; }
    std::suspend_never final_suspend() const noexcept { return {}; }
    void return_void() const noexcept {}
    [[noreturn]] void unhandled_exception() const noexcept { std::abort(); }
  };
};

}  // namespace trellune::testing
