// format_float against std::to_chars (shortest round trip), one value per
// iteration, so the reported time is the time per value.
#include "repeated_runs.hpp"
#include "json/format_float.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A power of two, so the index wraps with a mask; large enough that the
// branch predictor cannot learn the sequence.
constexpr std::size_t kValues = std::size_t{1} << 16;

std::vector<double> random_bit_patterns() {
  std::mt19937_64 rng(0xF10A7);
  std::vector<double> values;
  while (values.size() < kValues) {
    const double value = std::bit_cast<double>(rng());
    if (std::isfinite(value)) {
      values.push_back(value);
    }
  }
  return values;
}

// Every float literal (a number with a fraction or an exponent) of the
// document, in order, repeated to fill the set.
std::vector<double> canada_floats() {
  const std::string path = std::string(TRELLUNE_CORPUS_DIR) + "/canada.jsonl";
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char block[1 << 16];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) {
      text.append(block, n);
    }
    std::fclose(file);
  }
  std::vector<double> found;
  const auto is_number_char = [](char ch) {
    return (ch >= '0' && ch <= '9') || ch == '-' || ch == '+' || ch == '.' || ch == 'e' || ch == 'E';
  };
  bool in_string = false;
  for (std::size_t i = 0; i < text.size();) {
    const char ch = text[i];
    if (in_string) {
      in_string = ch != '"';
      i += ch == '\\' ? 2 : 1;
      continue;
    }
    if (ch == '"') {
      in_string = true;
      ++i;
      continue;
    }
    if (ch != '-' && (ch < '0' || ch > '9')) {
      ++i;
      continue;
    }
    std::size_t end = i;
    bool is_float = false;
    while (end < text.size() && is_number_char(text[end])) {
      is_float = is_float || text[end] == '.' || text[end] == 'e' || text[end] == 'E';
      ++end;
    }
    double value = 0;
    if (is_float && std::from_chars(text.data() + i, text.data() + end, value).ec == std::errc{}) {
      found.push_back(value);
    }
    i = end;
  }
  if (found.empty()) {
    std::fprintf(stderr, "no floats in %s\n", path.c_str());
    std::exit(1);
  }
  std::vector<double> values;
  while (values.size() < kValues) {
    values.insert(values.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(
                                                                   std::min(found.size(), kValues - values.size())));
  }
  return values;
}

// What requests mostly carry: small integers held as doubles and short
// decimals such as prices and coordinates with a few digits.
std::vector<double> small_and_short() {
  std::mt19937_64 rng(0x5A11);
  std::vector<double> values;
  while (values.size() < kValues) {
    if (rng() % 2 == 0) {
      values.push_back(static_cast<double>(rng() % 10000));
    } else {
      const int digits = 1 + static_cast<int>(rng() % 6);
      const auto scale = static_cast<std::uint64_t>(std::pow(10, digits));
      const double places[] = {10.0, 100.0, 1000.0};
      values.push_back(static_cast<double>(rng() % scale) / places[rng() % 3]);
    }
  }
  return values;
}

const std::vector<double>& data_set(int which) {
  static const std::vector<double> sets[] = {random_bit_patterns(), canada_floats(), small_and_short()};
  return sets[which];
}

void BM_format_float(benchmark::State& state, int which) {
  const std::vector<double>& values = data_set(which);
  std::array<char, trellune::kFloatScratchSize> scratch{};
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string_view text = trellune::format_float(values[i++ & (kValues - 1)], scratch);
    benchmark::DoNotOptimize(text.data());
    benchmark::DoNotOptimize(text.size());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_to_chars(benchmark::State& state, int which) {
  const std::vector<double>& values = data_set(which);
  char buffer[32];
  std::size_t i = 0;
  for (auto _ : state) {
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, values[i++ & (kValues - 1)]);
    benchmark::DoNotOptimize(result.ptr);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

constexpr const char* kDataSets[] = {"random_bits", "canada", "small_and_short"};

}  // namespace

int main(int argc, char** argv) {
  for (int which = 0; which < static_cast<int>(std::size(kDataSets)); ++which) {
    benchmark::RegisterBenchmark((std::string("format_float/") + kDataSets[which]).c_str(), BM_format_float, which);
    benchmark::RegisterBenchmark((std::string("to_chars/") + kDataSets[which]).c_str(), BM_to_chars, which);
  }
  trellune::bench::initialize_with_repetitions(argc, argv);
  trellune::bench::RepetitionReporter reporter("items_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%-16s %26s %26s\n", "ns per value", "best repetition", "median");
  for (const char* set : kDataSets) {
    const std::string ours = std::string("format_float/") + set;
    const std::string theirs = std::string("to_chars/") + set;
    if (reporter.best(ours) == 0 || reporter.best(theirs) == 0) continue;
    std::printf("%-16s %6.1f vs %5.1f: %5.2fx %6.1f vs %5.1f: %5.2fx\n", set, 1e9 / reporter.best(ours),
                1e9 / reporter.best(theirs), reporter.best(ours) / reporter.best(theirs), 1e9 / reporter.median(ours),
                1e9 / reporter.median(theirs), reporter.median(ours) / reporter.median(theirs));
  }
  benchmark::Shutdown();
  return 0;
}
