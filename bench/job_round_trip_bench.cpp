// The cost of one blocking job handed from the loop to a worker and back,
// the hand-over that every standard-input read and standard-output write
// pays, with and without each side's spin before it sleeps.
#include "repeated_runs.hpp"
#include "event_loop/event_loop.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

struct SpinCase {
  const char* name;
  std::chrono::nanoseconds worker_spin;
  std::chrono::nanoseconds loop_spin;
};

constexpr SpinCase kSpinCases[] = {
    {"spinning_on_both_sides", 50us, 50us},
    {"no_spinning", 0ns, 0ns},
    {"worker_spins_only", 50us, 0ns},
    {"loop_spins_only", 0ns, 50us},
};

// Jobs per block_on, so that entering and leaving the loop is a small part
// of what is measured.
constexpr int kJobsPerRound = 1'000;

trellune::Task<void> job_round_trips(trellune::EventLoop* loop, int count) {
  for (int i = 0; i < count; ++i) {
    auto job = loop->run_job([] {});
    co_await job;
  }
}

void BM_job_round_trip(benchmark::State& state, SpinCase spin) {
  trellune::EventLoopSettings settings;
  settings.worker_spin = spin.worker_spin;
  settings.loop_spin = spin.loop_spin;
  auto created = trellune::EventLoop::create(settings);
  if (!created) {
    state.SkipWithError("the event loop could not be built");
    return;
  }
  std::unique_ptr<trellune::EventLoop> loop = std::move(*created);
  // The first job starts the worker; that is not what is measured.
  loop->block_on(job_round_trips(loop.get(), 1));
  for (auto _ : state) loop->block_on(job_round_trips(loop.get(), kJobsPerRound));
  state.SetItemsProcessed(state.iterations() * kJobsPerRound);
  loop->shutdown();
}

}  // namespace

int main(int argc, char** argv) {
  for (const SpinCase& spin : kSpinCases) {
    benchmark::RegisterBenchmark((std::string("job_round_trip/") + spin.name).c_str(), BM_job_round_trip, spin)
        ->UseRealTime();
  }
  trellune::bench::initialize_with_repetitions(argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return EXIT_SUCCESS;
}
