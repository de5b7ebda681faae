#include "event_loop/task.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "event_loop/event_loop.hpp"
#include "loop_test_support.hpp"

namespace trellune {
namespace {

using testing::make_loop;

Task<int> ready_value(int value) { co_return value; }

// Each awaited task finishes without suspending. If any await left a native
// frame behind (as a symmetric transfer does when the compiler makes no tail
// call of it, e.g. GCC under AddressSanitizer), a million would overflow the
// stack.
Task<long long> sum_of_ready_awaits(int count) {
  long long sum = 0;
  for (int i = 0; i < count; ++i) {
    auto next = ready_value(i);
    sum += co_await next;
  }
  co_return sum;
}

// The innermost task suspends on a timer, so every level suspends and is
// later resumed by its child's final suspend rather than inline.
Task<int> nested_depth(EventLoop* loop, int remaining) {
  if (remaining == 0) {
    auto pause = loop->sleep_for(std::chrono::milliseconds(1));
    co_await pause;
    co_return 0;
  }
  auto inner = nested_depth(loop, remaining - 1);
  const int below = co_await inner;
  co_return below + 1;
}

TEST(TaskTest, MillionSequentialReadyAwaitsKeepTheStackFlat) {
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  constexpr int kCount = 1'000'000;
  EXPECT_EQ(loop->block_on(sum_of_ready_awaits(kCount)), static_cast<long long>(kCount) * (kCount - 1) / 2);
}

TEST(TaskTest, NestedTasksResumeThroughEveryLevelAfterASuspension) {
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  constexpr int kDepth = 1'000;
  EXPECT_EQ(loop->block_on(nested_depth(loop.get(), kDepth)), kDepth);
}

Task<std::unique_ptr<std::string>> make_owned(std::string text) {
  co_return std::make_unique<std::string>(std::move(text));
}

Task<IoResult<int>> fail_with(IoErrorKind kind) { co_return IoError(kind); }

Task<std::string> pass_values_through() {
  auto owned_task = make_owned("move-only");
  std::unique_ptr<std::string> owned = co_await owned_task;
  auto failing = fail_with(IoErrorKind::BrokenPipe);
  IoResult<int> failed = co_await failing;
  std::string out = *owned;
  out += failed ? " value" : " " + std::string(io_error_kind_name(failed.error().kind()));
  co_return out;
}

TEST(TaskTest, ValuesAndErrorsReachTheAwaitingTask) {
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  EXPECT_EQ(loop->block_on(pass_values_through()), "move-only BrokenPipe");
}

Task<void> count_run(int* runs) {
  ++*runs;
  co_return;
}

Task<void> create_without_awaiting(int* runs) {
  {
    auto never_awaited = count_run(runs);
  }
  auto awaited = count_run(runs);
  co_await awaited;
}

TEST(TaskTest, TaskRunsOnlyWhenAwaited) {
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  int runs = 0;
  loop->block_on(create_without_awaiting(&runs));
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace trellune
