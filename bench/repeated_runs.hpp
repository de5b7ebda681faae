// What the benchmark binaries share: repeated, interleaved runs by default,
// and a console reporter that keeps every repetition's rate so that a table
// can set contenders side by side.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

namespace trellune::bench {

// The machines these run on are shared and noisy: unless the command line
// says otherwise, every benchmark runs ten short times in shuffled order, so
// that a slow spell hits all contenders alike. Initializes the library.
inline void initialize_with_repetitions(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  const auto given = [&](std::string_view flag) {
    return std::any_of(args.begin() + 1, args.end(),
                       [&](const char* arg) { return std::string_view(arg).starts_with(flag); });
  };
  static char repetitions[] = "--benchmark_repetitions=10";
  static char min_time[] = "--benchmark_min_time=0.2";
  static char interleaving[] = "--benchmark_enable_random_interleaving=true";
  if (!given("--benchmark_repetitions")) {
    args.push_back(repetitions);
    if (!given("--benchmark_min_time")) args.push_back(min_time);
    if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleaving);
  }
  int arg_count = static_cast<int>(args.size());
  benchmark::Initialize(&arg_count, args.data());
}

// Shows only the aggregates of repeated benchmarks and records the counter
// `rate_counter` (a rate: higher is better) of every repetition.
class RepetitionReporter : public benchmark::ConsoleReporter {
 public:
  explicit RepetitionReporter(std::string rate_counter) : rate_counter_(std::move(rate_counter)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        const auto rate = run.counters.find(rate_counter_);
        if (rate != run.counters.end()) rates_[run.run_name.str()].push_back(rate->second.value);
        if (run.repetitions > 1) continue;
      }
      shown.push_back(run);
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }

  // The best repetition's rate, what the code reaches when the machine
  // leaves it alone; 0 for a benchmark that did not run.
  double best(const std::string& name) const {
    const std::vector<double>* rates = find(name);
    return rates == nullptr ? 0 : *std::max_element(rates->begin(), rates->end());
  }

  double median(const std::string& name) const {
    const std::vector<double>* rates = find(name);
    if (rates == nullptr) return 0;
    std::vector<double> sorted = *rates;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  }

 private:
  const std::vector<double>* find(const std::string& name) const {
    const auto found = rates_.find(name);
    return found == rates_.end() || found->second.empty() ? nullptr : &found->second;
  }

  std::string rate_counter_;
  std::map<std::string, std::vector<double>> rates_;
};

}  // namespace trellune::bench
