#include <gtest/gtest.h>

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

struct Sleep {
  int id;
  std::chrono::milliseconds delay;
};

// Started out of order, so that firing in start order would fail.
constexpr Sleep kSleeps[] = {{0, 60ms}, {1, 20ms}, {2, 40ms}, {3, 1ms}, {4, 30ms}};
constexpr int kExpectedOrder[] = {3, 1, 4, 2, 0};

Detached sleeper(EventLoop* loop, Sleep sleep, std::vector<int>* fired) {
  const Clock::time_point start = Clock::now();
  auto wait = loop->sleep_for(sleep.delay);
  co_await wait;
  EXPECT_GE(Clock::now() - start, sleep.delay) << "timer " << sleep.id << " fired early";
  fired->push_back(sleep.id);
}

Task<void> start_sleepers_and_outlast_them(EventLoop* loop, std::vector<int>* fired) {
  for (const Sleep& sleep : kSleeps) sleeper(loop, sleep, fired);
  auto zero = loop->sleep_for(0ns);
  auto negative = loop->sleep_for(-5ms);
  EXPECT_TRUE(zero.await_ready() && negative.await_ready());
  auto outlast = loop->sleep_for(100ms);
  co_await outlast;
}

TEST(TimerTest, TimersFireInDeadlineOrderAndNeverEarly) {
  auto loop = make_loop();
  std::vector<int> fired;
  loop->block_on(start_sleepers_and_outlast_them(loop.get(), &fired));
  EXPECT_EQ(fired, std::vector<int>(std::begin(kExpectedOrder), std::end(kExpectedOrder)));
}

}  // namespace
}  // namespace trellune
