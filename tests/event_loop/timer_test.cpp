#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "event_loop/event_loop.hpp"
#include "loop_test_support.hpp"

namespace trellune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Detached;
using testing::make_loop;
using testing::Watchdog;

struct Fired {
  int id;
  Clock::duration late_by;  // negative if it fired early
};

Detached sleeper(EventLoop* loop, std::chrono::milliseconds delay, int id, std::vector<Fired>* fired) {
  const Clock::time_point start = Clock::now();
  auto sleep = loop->sleep_for(delay);
  co_await sleep;
  fired->push_back(Fired{id, Clock::now() - start - delay});
}

struct Sleep {
  int id;
  std::chrono::milliseconds delay;
};

// Started out of order, so that a queue in start order would fail.
constexpr Sleep kSleeps[] = {{0, 60ms}, {1, 20ms}, {2, 40ms}, {3, 1ms}, {4, 30ms}};
constexpr int kExpectedOrder[] = {3, 1, 4, 2, 0};

Task<void> start_sleepers_and_outlast_them(EventLoop* loop, std::vector<Fired>* fired) {
  for (const Sleep& sleep : kSleeps) sleeper(loop, sleep.delay, sleep.id, fired);
  auto outlast = loop->sleep_for(100ms);
  co_await outlast;
}

TEST(TimerTest, TimersFireInDeadlineOrderAndNeverEarly) {
  Watchdog watchdog;
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  std::vector<Fired> fired;
  loop->block_on(start_sleepers_and_outlast_them(loop.get(), &fired));
  ASSERT_EQ(fired.size(), std::size(kExpectedOrder));
  for (std::size_t i = 0; i < fired.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fired[i].id, kExpectedOrder[i]);
    EXPECT_GE(fired[i].late_by, Clock::duration::zero());
  }
}

Task<bool> zero_and_negative_sleeps_are_ready(EventLoop* loop) {
  auto zero = loop->sleep_for(0ns);
  auto negative = loop->sleep_for(-5ms);
  const bool ready = zero.await_ready() && negative.await_ready();
  co_await zero;
  co_await negative;
  co_return ready;
}

TEST(TimerTest, NonPositiveSleepCompletesAtOnce) {
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  EXPECT_TRUE(loop->block_on(zero_and_negative_sleeps_are_ready(loop.get())));
}

}  // namespace
}  // namespace trellune
