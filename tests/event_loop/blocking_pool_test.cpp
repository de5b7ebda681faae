#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event_loop/event_loop.hpp"
#include "loop_test_support.hpp"

namespace trellune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Gate;
using testing::make_loop;
using testing::Watchdog;

// Polls `condition` for at most `limit`.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5'000ms) {
  const Clock::time_point until = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct Results {
  std::unique_ptr<int> owned;
  std::string text;
  IoResult<int> value = IoError(IoErrorKind::Other);
  IoResult<int> error = 0;
  std::string worker_thread_name;
  bool ran_off_the_loop_thread = false;
};

Task<Results> collect_job_results(EventLoop* loop) {
  Results results;
  auto owned = loop->run_job([] { return std::make_unique<int>(42); });
  results.owned = co_await owned;
  auto text = loop->run_job([] { return std::string(100, 'x'); });
  results.text = co_await std::move(text);
  auto value = loop->run_job([]() -> IoResult<int> { return 7; });
  results.value = co_await value;
  auto error = loop->run_job([]() -> IoResult<int> { return IoError::from_os_code(EPIPE); });
  results.error = co_await error;
  const std::thread::id loop_thread = std::this_thread::get_id();
  auto where = loop->run_job([loop_thread] {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::make_pair(std::string(name), std::this_thread::get_id() != loop_thread);
  });
  auto [name, elsewhere] = co_await where;
  results.worker_thread_name = name;
  results.ran_off_the_loop_thread = elsewhere;
  co_return results;
}

TEST(BlockingPoolTest, JobResultsReachTheAwaitingTask) {
  Watchdog watchdog;
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  EXPECT_EQ(loop->worker_count(), 0u) << "no worker may start before the first job";
  Results results = loop->block_on(collect_job_results(loop.get()));
  ASSERT_NE(results.owned, nullptr);
  EXPECT_EQ(*results.owned, 42);
  EXPECT_EQ(results.text, std::string(100, 'x'));
  ASSERT_TRUE(results.value.has_value());
  EXPECT_EQ(*results.value, 7);
  ASSERT_FALSE(results.error.has_value());
  EXPECT_EQ(results.error.error().os_code(), EPIPE);
  EXPECT_EQ(results.worker_thread_name, "trellune-worker");
  EXPECT_TRUE(results.ran_off_the_loop_thread);
}

struct SpinCase {
  const char* name;
  std::chrono::nanoseconds worker_spin;
  std::chrono::nanoseconds loop_spin;
};

constexpr SpinCase kSpinCases[] = {
    {"spinning on both sides", 50us, 50us},
    {"no spinning", 0ns, 0ns},
    {"worker spins only", 50us, 0ns},
    {"loop spins only", 0ns, 50us},
};

struct SequentialResult {
  long long sum = 0;
  std::size_t most_workers = 0;
};

Task<SequentialResult> run_sequential_jobs(EventLoop* loop, int count) {
  SequentialResult result;
  for (int i = 0; i < count; ++i) {
    auto job = loop->run_job([i] { return 2LL * i; });
    result.sum += co_await job;
    result.most_workers = std::max(result.most_workers, loop->worker_count());
  }
  co_return result;
}

// One job at a time: the worker that finished the last job is idle when the
// next one comes, so it is reused and no second worker ever starts.
TEST(BlockingPoolTest, SequentialJobsReuseOneWorker) {
  for (const SpinCase& test_case : kSpinCases) {
    SCOPED_TRACE(test_case.name);
    Watchdog watchdog;
    EventLoopSettings settings;
    settings.worker_spin = test_case.worker_spin;
    settings.loop_spin = test_case.loop_spin;
    auto loop = make_loop(settings);
    ASSERT_NE(loop, nullptr);
    constexpr int kCount = 2'000;
    const SequentialResult result = loop->block_on(run_sequential_jobs(loop.get(), kCount));
    EXPECT_EQ(result.sum, static_cast<long long>(kCount) * (kCount - 1));
    EXPECT_EQ(result.most_workers, 1u);
  }
}

struct ConcurrencyResult {
  std::vector<std::size_t> workers_after_each_start;
  std::vector<int> values;
};

Task<ConcurrencyResult> start_blocked_jobs(EventLoop* loop, Gate* gate, int count) {
  ConcurrencyResult result;
  std::vector<JobHandle<int>> jobs;
  for (int i = 0; i < count; ++i) {
    jobs.push_back(loop->run_job([gate, i] { return gate->wait() ? i : -1; }));
    result.workers_after_each_start.push_back(loop->worker_count());
  }
  gate->open();
  for (JobHandle<int>& job : jobs) result.values.push_back(co_await job);
  co_return result;
}

struct ConcurrencyCase {
  const char* name;
  std::size_t max_workers;
  int jobs;
};

constexpr ConcurrencyCase kConcurrencyCases[] = {
    {"a busy worker makes the next job start another", 512, 2},
    {"jobs beyond the limit queue and still run", 2, 5},
    {"a limit of one serialises everything", 1, 3},
};

TEST(BlockingPoolTest, NewWorkerOnlyWhenNoneIsIdleAndUnderTheLimit) {
  for (const ConcurrencyCase& test_case : kConcurrencyCases) {
    SCOPED_TRACE(test_case.name);
    Watchdog watchdog;
    EventLoopSettings settings;
    settings.max_workers = test_case.max_workers;
    auto loop = make_loop(settings);
    ASSERT_NE(loop, nullptr);
    Gate gate;
    const ConcurrencyResult result = loop->block_on(start_blocked_jobs(loop.get(), &gate, test_case.jobs));
    ASSERT_EQ(result.values.size(), static_cast<std::size_t>(test_case.jobs));
    for (int i = 0; i < test_case.jobs; ++i) {
      EXPECT_EQ(result.values[static_cast<std::size_t>(i)], i);
      EXPECT_EQ(result.workers_after_each_start[static_cast<std::size_t>(i)],
                std::min<std::size_t>(static_cast<std::size_t>(i) + 1, test_case.max_workers));
    }
  }
}

Task<int> one_job(EventLoop* loop) {
  auto job = loop->run_job([] { return 1; });
  co_return co_await job;
}

TEST(BlockingPoolTest, IdleWorkerEndsAfterTheIdleTimeoutAndANewOneStarts) {
  Watchdog watchdog;
  EventLoopSettings settings;
  settings.worker_idle_timeout = 50ms;
  auto loop = make_loop(settings);
  ASSERT_NE(loop, nullptr);
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
  EXPECT_EQ(loop->worker_count(), 1u);
  EXPECT_TRUE(eventually([&] { return loop->worker_count() == 0; }));
  EXPECT_EQ(loop->idle_worker_count(), 0u);
  // The ended worker is joined on the way; a fresh one takes the next job.
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
  EXPECT_EQ(loop->worker_count(), 1u);
}

TEST(BlockingPoolTest, WorkerStaysForTheDefaultIdleTimeout) {
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(loop->worker_count(), 1u);
  EXPECT_EQ(loop->idle_worker_count(), 1u);
}

// Counts destructions so a discarded result is seen to be freed.
struct Tracked {
  explicit Tracked(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  Tracked(Tracked&& other) noexcept : destroyed_(std::exchange(other.destroyed_, nullptr)) {}
  Tracked& operator=(Tracked&&) = delete;
  ~Tracked() {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }
  std::atomic<int>* destroyed_;
};

Task<void> drop_a_slow_job(EventLoop* loop, std::atomic<bool>* finished, std::atomic<int>* destroyed) {
  auto slow = loop->run_job([finished, destroyed] {
    std::this_thread::sleep_for(100ms);
    finished->store(true);
    return Tracked(destroyed);
  });
  co_return;
}

// The handle is dropped unawaited and block_on returns at once; shutdown must
// still wait for the job rather than abandon it, and free its result.
TEST(BlockingPoolTest, ShutdownWaitsForADroppedJob) {
  Watchdog watchdog;
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  std::atomic<bool> finished{false};
  std::atomic<int> destroyed{0};
  loop->block_on(drop_a_slow_job(loop.get(), &finished, &destroyed));
  EXPECT_FALSE(finished.load());
  loop->shutdown();
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(loop->worker_count(), 0u);
}

// An idle worker sleeps with a 10 s timeout; shutdown must wake it rather than
// wait that out.
TEST(BlockingPoolTest, ShutdownWakesIdleWorkersPromptly) {
  Watchdog watchdog;
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
  std::this_thread::sleep_for(5ms);  // past the spin, into the futex sleep
  const Clock::time_point start = Clock::now();
  loop->shutdown();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(loop->worker_count(), 0u);
}

std::chrono::nanoseconds process_cpu_time() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

Task<std::chrono::nanoseconds> cpu_used_while_waiting(EventLoop* loop) {
  // Warm up: a worker exists and is idle; then one job blocks for a while.
  auto warm = loop->run_job([] { return 0; });
  co_await warm;
  const std::chrono::nanoseconds before = process_cpu_time();
  auto slow = loop->run_job([] {
    std::this_thread::sleep_for(300ms);
    return 0;
  });
  co_await slow;
  auto idle = loop->sleep_for(300ms);
  co_await idle;
  co_return process_cpu_time() - before;
}

// Spinning is bounded: waiting for a slow job, and then idling with a worker
// around, must leave both threads asleep.
TEST(BlockingPoolTest, WaitingAndIdlingUseAlmostNoCpu) {
  Watchdog watchdog;
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  const std::chrono::nanoseconds used = loop->block_on(cpu_used_while_waiting(loop.get()));
  EXPECT_LT(used, 60ms) << "600 ms of waiting should cost about 0.2 ms of spinning";
}

Task<long long> many_jobs_in_flight(EventLoop* loop, int rounds, int width) {
  long long sum = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<JobHandle<int>> jobs;
    for (int i = 0; i < width; ++i) {
      jobs.push_back(loop->run_job([i, round] {
        if ((i + round) % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(i * 10));
        return i;
      }));
    }
    for (JobHandle<int>& job : jobs) sum += co_await job;
  }
  co_return sum;
}

// Completions from several workers race onto the queue, and (without
// spinning) against the loop going to sleep; none may be lost or delivered
// twice.
TEST(BlockingPoolTest, ConcurrentCompletionsAllArrive) {
  for (const SpinCase& test_case : kSpinCases) {
    SCOPED_TRACE(test_case.name);
    Watchdog watchdog;
    EventLoopSettings settings;
    settings.worker_spin = test_case.worker_spin;
    settings.loop_spin = test_case.loop_spin;
    auto loop = make_loop(settings);
    ASSERT_NE(loop, nullptr);
    constexpr int kRounds = 200;
    constexpr int kWidth = 6;
    EXPECT_EQ(loop->block_on(many_jobs_in_flight(loop.get(), kRounds, kWidth)),
              static_cast<long long>(kRounds) * kWidth * (kWidth - 1) / 2);
    EXPECT_LE(loop->worker_count(), static_cast<std::size_t>(kWidth));
  }
}

// Worker starts fail on demand: the first `g_starts_allowed` go through.
std::atomic<int> g_starts_allowed{0};
std::atomic<int> g_start_error{0};

int start_or_fail(pthread_t* thread, void* (*entry)(void*), void* argument) {
  if (g_starts_allowed.fetch_sub(1) > 0) return pthread_create(thread, nullptr, entry, argument);
  return g_start_error.load();
}

Task<std::vector<int>> two_jobs_one_blocked(EventLoop* loop, Gate* gate) {
  auto first = loop->run_job([gate] { return gate->wait() ? 1 : -1; });
  auto second = loop->run_job([] { return 2; });
  gate->open();
  std::vector<int> values;
  values.push_back(co_await first);
  values.push_back(co_await second);
  co_return values;
}

// A temporary failure while another worker exists leaves the job queued for it.
TEST(BlockingPoolTest, TemporarySpawnFailureQueuesTheJobForTheExistingWorker) {
  Watchdog watchdog;
  g_starts_allowed = 1;
  g_start_error = EAGAIN;
  EventLoopSettings settings;
  settings.start_thread = &start_or_fail;
  auto loop = make_loop(settings);
  ASSERT_NE(loop, nullptr);
  Gate gate;
  EXPECT_EQ(loop->block_on(two_jobs_one_blocked(loop.get(), &gate)), (std::vector<int>{1, 2}));
  EXPECT_EQ(loop->worker_count(), 1u);
}

struct SpawnFailureCase {
  const char* name;
  int starts_allowed;
  int error;
  const char* message;
};

constexpr SpawnFailureCase kSpawnFailureCases[] = {
    {"temporary failure with no worker to take the job", 0, EAGAIN,
     "OS can't spawn worker thread: Resource temporarily unavailable \\(os error 11\\)"},
    {"any other failure, even with a worker", 1, EPERM,
     "OS can't spawn worker thread: Operation not permitted \\(os error 1\\)"},
};

void spawn_until_failure(int starts_allowed, int error) {
  g_starts_allowed = starts_allowed;
  g_start_error = error;
  EventLoopSettings settings;
  settings.start_thread = &start_or_fail;
  auto loop = make_loop(settings);
  Gate gate;
  loop->block_on(two_jobs_one_blocked(loop.get(), &gate));
}

TEST(BlockingPoolDeathTest, SpawnFailureIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const SpawnFailureCase& test_case : kSpawnFailureCases) {
    SCOPED_TRACE(test_case.name);
    EXPECT_DEATH(spawn_until_failure(test_case.starts_allowed, test_case.error), test_case.message);
  }
}

Task<double> job_round_trips(EventLoop* loop, int count) {
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    auto job = loop->run_job([] {});
    co_await job;
  }
  co_return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

// A measurement, not a check: run with --gtest_also_run_disabled_tests.
TEST(BlockingPoolBenchmark, DISABLED_JobRoundTrip) {
  for (const SpinCase& test_case : kSpinCases) {
    EventLoopSettings settings;
    settings.worker_spin = test_case.worker_spin;
    settings.loop_spin = test_case.loop_spin;
    auto loop = make_loop(settings);
    ASSERT_NE(loop, nullptr);
    loop->block_on(job_round_trips(loop.get(), 1'000));
    const double per_round_trip = loop->block_on(job_round_trips(loop.get(), 100'000));
    std::printf("%-24s %8.2f us per job round trip\n", test_case.name, per_round_trip);
  }
}

}  // namespace
}  // namespace trellune
