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

TEST(TaskTest, MillionSequentialReadyAwaitsKeepTheStackFlat) {
  auto loop = make_loop();
  constexpr int kCount = 1'000'000;
  EXPECT_EQ(loop->block_on(sum_of_ready_awaits(kCount)), static_cast<long long>(kCount) * (kCount - 1) / 2);
}

// The innermost task suspends on a timer, so every level is resumed later by
// its child's final suspend rather than inline.
Task<int> nested_depth(EventLoop* loop, int remaining) {
  if (remaining == 0) {
    auto pause = loop->sleep_for(std::chrono::milliseconds(1));
    co_await pause;
    co_return 0;
  }
  auto inner = nested_depth(loop, remaining - 1);
  co_return co_await inner + 1;
}

TEST(TaskTest, NestedTasksResumeThroughEveryLevelAfterASuspension) {
  auto loop = make_loop();
  EXPECT_EQ(loop->block_on(nested_depth(loop.get(), 1'000)), 1'000);
}

Task<std::unique_ptr<std::string>> make_owned(std::string text) {
  co_return std::make_unique<std::string>(std::move(text));
}

Task<IoResult<int>> fail_with(IoErrorKind kind) { co_return IoError(kind); }

Task<void> count_run(int* runs) {
  ++*runs;
  co_return;
}

Task<void> values_pass_and_only_awaited_tasks_run(int* runs) {
  auto owned_task = make_owned("move-only");
  const std::unique_ptr<std::string> owned = co_await owned_task;
  EXPECT_EQ(*owned, "move-only");
  auto failing = fail_with(IoErrorKind::BrokenPipe);
  const IoResult<int> failed = co_await failing;
  EXPECT_TRUE(!failed && failed.error().kind() == IoErrorKind::BrokenPipe);
  { auto never_awaited = count_run(runs); }
  auto awaited = count_run(runs);
  co_await awaited;
}

TEST(TaskTest, ValuesReachTheAwaiterAndOnlyAwaitedTasksRun) {
  auto loop = make_loop();
  int runs = 0;
  loop->block_on(values_pass_and_only_awaited_tasks_run(&runs));
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace trellune
