#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "event_loop/event_loop.hpp"
#include "loop_test_support.hpp"
#include "support/death_test_style.hpp"

namespace trellune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::eventually;
using testing::Gate;
using testing::make_loop;
using testing::make_socket_pair;
using testing::SocketPair;

Task<void> job_results_reach_the_task(EventLoop* loop) {
  auto owned = loop->run_job([] { return std::make_unique<int>(42); });
  const std::unique_ptr<int> value = co_await owned;
  EXPECT_EQ(*value, 42);
  auto text = loop->run_job([] { return std::string(100, 'x'); });
  const std::string got = co_await std::move(text);
  EXPECT_EQ(got, std::string(100, 'x'));
  auto error = loop->run_job([]() -> IoResult<int> { return IoError::from_os_code(EPIPE); });
  const IoResult<int> failed = co_await error;
  EXPECT_TRUE(!failed && failed.error().os_code() == EPIPE);
  const std::thread::id loop_thread = std::this_thread::get_id();
  auto where = loop->run_job([loop_thread] {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::string(name) + (std::this_thread::get_id() == loop_thread ? " on the loop thread" : "");
  });
  const std::string worker = co_await where;
  EXPECT_EQ(worker, "trellune-worker");
}

TEST(BlockingPoolTest, JobResultsReachTheAwaitingTask) {
  auto loop = make_loop();
  EXPECT_EQ(loop->worker_count(), 0u) << "no worker may start before the first job";
  loop->block_on(job_results_reach_the_task(loop.get()));
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

// One job at a time: the worker that ran the last job is idle when the next
// comes, so it is reused and no second worker ever starts. Brief jobs and
// jobs that wait for input alternate, so both ways of waiting are taken.
Task<void> sequential_jobs_on_one_worker(EventLoop* loop, int count) {
  long long sum = 0;
  for (int i = 0; i < count; ++i) {
    auto job = loop->run_job([i] { return 2LL * i; }, i % 2 == 0 ? JobWait::kBrief : JobWait::kForInput);
    sum += co_await job;
    EXPECT_EQ(loop->worker_count(), 1u);
  }
  EXPECT_EQ(sum, static_cast<long long>(count) * (count - 1));
}

// Several workers finish at once, racing each other onto the completion queue
// and (without spinning) the loop going to sleep; none may be lost.
Task<void> many_jobs_in_flight(EventLoop* loop, int rounds, int width) {
  for (int round = 0; round < rounds; ++round) {
    std::vector<JobHandle<int>> jobs;
    for (int i = 0; i < width; ++i) {
      jobs.push_back(loop->run_job([i, round] {
        if ((i + round) % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(i * 10));
        return i;
      }));
    }
    for (int i = 0; i < width; ++i) {
      const int got = co_await jobs[static_cast<std::size_t>(i)];
      EXPECT_EQ(got, i);
    }
  }
}

// Keeps the calling thread, and the threads it starts meanwhile, on the CPU it
// runs on now.
class OnOneCpu {
 public:
  OnOneCpu() {
    EXPECT_EQ(sched_getaffinity(0, sizeof saved_, &saved_), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    EXPECT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  }
  OnOneCpu(const OnOneCpu&) = delete;
  OnOneCpu& operator=(const OnOneCpu&) = delete;
  ~OnOneCpu() { sched_setaffinity(0, sizeof saved_, &saved_); }

 private:
  cpu_set_t saved_;
};

// Keeps a thread busy, on the CPUs its creator may use, while it lives.
class BusyNeighbour {
 public:
  BusyNeighbour() : thread_([this] { while (!stop_.load(std::memory_order_relaxed)) {} }) {}
  BusyNeighbour(const BusyNeighbour&) = delete;
  BusyNeighbour& operator=(const BusyNeighbour&) = delete;
  ~BusyNeighbour() {
    stop_.store(true, std::memory_order_relaxed);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

enum class Placement { kEveryCpu, kOneCpu, kOneCpuBesideABusyThread };

// On one CPU, a spinning side yields to the other instead of pausing, and
// stops spinning when nobody else waits for the CPU; beside a busy thread,
// to which yields hand whole slices, it takes to sleeping.
TEST(BlockingPoolTest, SequentialAndConcurrentJobsWithAndWithoutSpinning) {
  for (const Placement placement : {Placement::kEveryCpu, Placement::kOneCpu, Placement::kOneCpuBesideABusyThread}) {
    for (const SpinCase& test_case : kSpinCases) {
      SCOPED_TRACE(test_case.name);
      SCOPED_TRACE(static_cast<int>(placement));
      std::optional<OnOneCpu> pinned;
      if (placement != Placement::kEveryCpu) pinned.emplace();
      std::optional<BusyNeighbour> neighbour;
      if (placement == Placement::kOneCpuBesideABusyThread) neighbour.emplace();
      auto loop = make_loop({.worker_spin = test_case.worker_spin, .loop_spin = test_case.loop_spin});
          loop->block_on(sequential_jobs_on_one_worker(loop.get(), 2'000));
      loop->block_on(many_jobs_in_flight(loop.get(), 200, 6));
      EXPECT_LE(loop->worker_count(), 6u);
    }
  }
}

struct YieldGateCase {
  const char* name;
  std::vector<int> stalls_ms;  // on CPU 0
  std::vector<std::pair<int, bool>> open_on_cpu_0_at_ms;
};

// Stalls in a row shut the gate for a spell that doubles while stalls come
// right after it; anything else leaves or reopens it.
TEST(YieldGateTest, ShutsForStallsInARowAndLengthensWhileTheyGoOn) {
  const std::vector<YieldGateCase> cases = {
      {"a stall alone", {0}, {{1, true}}},
      {"two in a row", {0, 5}, {{6, true}}},
      {"three spread out", {0, 30, 60}, {{61, true}}},
      {"three in a row shut it for the shortest spell", {0, 5, 10}, {{11, false}, {19, false}, {21, true}}},
      {"stalls right after a spell double it", {0, 5, 10, 21}, {{22, false}, {40, false}, {42, true}}},
      {"after a quiet stretch, the shortest spell again", {0, 5, 10, 500, 505, 510}, {{511, false}, {521, true}}},
  };
  using event_loop_internal::YieldGate;
  const YieldGate::Clock::time_point start(std::chrono::hours(1));
  for (const YieldGateCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto gate = std::make_unique<YieldGate>();
    for (const int ms : c.stalls_ms) gate->record_stall(0, start + std::chrono::milliseconds(ms));
    for (const auto& [ms, open] : c.open_on_cpu_0_at_ms) {
      EXPECT_EQ(gate->open(0, start + std::chrono::milliseconds(ms)), open) << ms << " ms";
      EXPECT_TRUE(gate->open(1, start + std::chrono::milliseconds(ms))) << "another CPU, " << ms << " ms";
    }
  }
}

struct ConcurrencyCase {
  const char* name;
  std::size_t max_workers;
  int jobs;
  bool stop_starting_after_first = false;
};

constexpr ConcurrencyCase kConcurrencyCases[] = {
    {"a busy worker makes the next job start another", 512, 2},
    {"jobs beyond the limit queue and still run", 2, 5},
    {"a limit of one serialises everything", 1, 3},
    {"once starting stops, jobs wait for the running worker", 512, 3, true},
};

Task<void> start_blocked_jobs(EventLoop* loop, ConcurrencyCase test_case) {
  Gate gate;
  std::vector<JobHandle<int>> jobs;
  for (int i = 0; i < test_case.jobs; ++i) {
    jobs.push_back(loop->run_job([&gate, i] { return gate.wait() ? i : -1; }));
    if (test_case.stop_starting_after_first && i == 0) loop->stop_starting_workers();
    const std::size_t limit = test_case.stop_starting_after_first ? 1 : test_case.max_workers;
    EXPECT_EQ(loop->worker_count(), std::min<std::size_t>(static_cast<std::size_t>(i) + 1, limit));
  }
  gate.open = true;
  for (int i = 0; i < test_case.jobs; ++i) {
    const int got = co_await jobs[static_cast<std::size_t>(i)];
    EXPECT_EQ(got, i);
  }
}

TEST(BlockingPoolTest, NewWorkerOnlyWhenNoneIsIdleAndUnderTheLimit) {
  for (const ConcurrencyCase& test_case : kConcurrencyCases) {
    SCOPED_TRACE(test_case.name);
    auto loop = make_loop({.max_workers = test_case.max_workers});
      loop->block_on(start_blocked_jobs(loop.get(), test_case));
  }
}

Task<int> one_job(EventLoop* loop) {
  auto job = loop->run_job([] { return 1; });
  co_return co_await job;
}

// Counts destructions, so a discarded result is seen to be freed.
struct Tracked {
  explicit Tracked(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  Tracked(Tracked&& other) noexcept : destroyed_(std::exchange(other.destroyed_, nullptr)) {}
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

// block_on returns while the dropped job still runs; shutdown must wait for
// it, not abandon it, and free its result.
TEST(BlockingPoolTest, ShutdownWaitsForADroppedJob) {
  auto loop = make_loop();
  std::atomic<bool> finished{false};
  std::atomic<int> destroyed{0};
  loop->block_on(drop_a_slow_job(loop.get(), &finished, &destroyed));
  EXPECT_FALSE(finished.load());
  loop->shutdown();
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(loop->worker_count(), 0u);
}

// An idle worker sleeps with a 10 s timeout; shutdown must wake it.
TEST(BlockingPoolTest, ShutdownWakesIdleWorkersPromptly) {
  auto loop = make_loop();
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
  std::this_thread::sleep_for(5ms);  // past the spin, into the futex sleep
  EXPECT_EQ(loop->idle_worker_count(), 1u);
  const Clock::time_point start = Clock::now();
  loop->shutdown();
  EXPECT_LT(Clock::now() - start, 2s);
}

std::chrono::nanoseconds process_cpu_time() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Spinning is bounded: waiting 300 ms for a job, then idling 300 ms with an
// idle worker, must leave both threads asleep nearly all the time.
Task<void> wait_and_idle(EventLoop* loop) {
  auto warm = loop->run_job([] {});
  co_await warm;
  const std::chrono::nanoseconds before = process_cpu_time();
  auto slow = loop->run_job([] { std::this_thread::sleep_for(300ms); });
  co_await slow;
  auto idle = loop->sleep_for(300ms);
  co_await idle;
  EXPECT_LT(process_cpu_time() - before, 60ms);
}

TEST(BlockingPoolTest, WaitingAndIdlingUseAlmostNoCpu) {
  auto loop = make_loop();
  loop->block_on(wait_and_idle(loop.get()));
}

struct WakeHintCase {
  const char* name;
  bool hint_fires;  // a byte arrives on the watched socket, and is never read
  bool deregister;  // the watched descriptor leaves the reactor and is closed
  bool idle_timeout_passes;  // before the next job
};

constexpr WakeHintCase kWakeHintCases[] = {
    {"the job reaches the watching worker", false, false, false},
    {"a hint that fires and stays readable", true, false, false},
    {"the watched descriptor is closed", false, true, false},
    {"a closed descriptor after its hint fired", true, true, false},
    {"the last worker outlives its idle timeout, still watching", false, false, true},
};

// An idle worker that watches a descriptor sleeps in poll: jobs must still
// reach it at once, a readable or closed descriptor must not keep it
// spinning, and neither its idle timeout nor shutdown may leave it stuck.
void check_wake_hint(const WakeHintCase& test_case, std::chrono::nanoseconds worker_spin) {
  SCOPED_TRACE(test_case.name);
  SCOPED_TRACE(worker_spin.count() == 0 ? "worker spin turned off" : "worker spin on");
  auto loop =
      make_loop({.worker_idle_timeout = test_case.idle_timeout_passes ? 50ms : 10s, .worker_spin = worker_spin});
  SocketPair pair = make_socket_pair();
  auto registration = loop->register_fd(pair.near.get());
  ASSERT_TRUE(registration);
  ASSERT_TRUE(loop->wake_idle_worker_on(*registration));
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
  std::this_thread::sleep_for(5ms);  // past the spin, into the watch

  const std::chrono::nanoseconds before = process_cpu_time();
  if (test_case.hint_fires) {
    EXPECT_EQ(::write(pair.far.get(), "x", 1), 1);
  }
  if (test_case.deregister) {
    loop->deregister(*registration);
    pair.near.reset();
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_LT(process_cpu_time() - before, 60ms);
  EXPECT_EQ(loop->worker_count(), 1u);

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
  EXPECT_EQ(loop->worker_count(), 1u);
  std::this_thread::sleep_for(5ms);
  loop->shutdown();
  EXPECT_LT(Clock::now() - start, 2s);
}

// Each case runs with the worker's spin on and turned off.
TEST(BlockingPoolTest, WorkerWatchingAWakeHint) {
  for (const WakeHintCase& test_case : kWakeHintCases) {
    check_wake_hint(test_case, 50us);
    check_wake_hint(test_case, 0ns);
  }
}

// Worker starts fail on demand: the first `g_starts_allowed` go through.
std::atomic<int> g_starts_allowed{0};
std::atomic<int> g_start_error{0};

int start_or_fail(pthread_t* thread, void* (*entry)(void*), void* argument) {
  if (g_starts_allowed.fetch_sub(1) > 0) return pthread_create(thread, nullptr, entry, argument);
  return g_start_error.load();
}

Task<void> two_jobs_one_blocked(EventLoop* loop) {
  Gate gate;
  auto first = loop->run_job([&gate] { return gate.wait() ? 1 : -1; });
  auto second = loop->run_job([] { return 2; });
  gate.open = true;
  const int got_first = co_await first;
  const int got_second = co_await second;
  EXPECT_EQ(got_first, 1);
  EXPECT_EQ(got_second, 2);
}

// Runs two jobs at once on a loop whose worker starts fail after the first
// `starts_allowed`; returns the loop for a look at its workers.
std::unique_ptr<EventLoop> run_two_jobs(int starts_allowed, int error,
                                        std::chrono::nanoseconds idle_timeout = EventLoopSettings{}.worker_idle_timeout) {
  g_starts_allowed = starts_allowed;
  g_start_error = error;
  auto loop = make_loop({.worker_idle_timeout = idle_timeout, .start_thread = &start_or_fail});
  loop->block_on(two_jobs_one_blocked(loop.get()));
  return loop;
}

// A temporary failure while another worker exists leaves the job queued for it.
TEST(BlockingPoolTest, TemporarySpawnFailureQueuesTheJobForTheExistingWorker) {
  EXPECT_EQ(run_two_jobs(1, EAGAIN)->worker_count(), 1u);
}

// Idle workers end, but the last stays: a job after a long wait must not
// depend on a thread start, here one that fails.
TEST(BlockingPoolTest, IdleWorkersEndButTheLastOutlivesItsTimeout) {
  const std::unique_ptr<EventLoop> loop = run_two_jobs(2, EAGAIN, 50ms);
  EXPECT_EQ(loop->worker_count(), 2u);
  EXPECT_TRUE(eventually([&] { return loop->worker_count() == 1; }));
  std::this_thread::sleep_for(200ms);  // several timeouts
  EXPECT_EQ(loop->worker_count(), 1u);
  // The ended worker is joined on the way; the last one takes the job.
  EXPECT_EQ(loop->block_on(one_job(loop.get())), 1);
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

TEST(BlockingPoolDeathTest, SpawnFailureIsFatal) {
  use_fresh_process_death_tests();
  for (const SpawnFailureCase& test_case : kSpawnFailureCases) {
    SCOPED_TRACE(test_case.name);
    EXPECT_DEATH((void)run_two_jobs(test_case.starts_allowed, test_case.error), test_case.message);
  }
}

}  // namespace
}  // namespace trellune
