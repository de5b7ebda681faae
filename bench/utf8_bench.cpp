// The UTF-8 checks on 1 MB texts: ASCII prose, multi-byte text (CJK and
// emoji), base64, and ASCII with an accented letter now and then. Each check
// this processor can run (the automaton and the vector check), is_valid_utf8
// (the one it chose), Utf8Validator fed the text in reads of 64 KiB as a
// reply arrives, and a byte-at-a-time check (one decode_utf8_sequence per
// character, as the check ran before its automaton). Bytes per second is the
// figure to read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/internal/utf8_checks.hpp"
#include "base/utf8.hpp"
#include "sample_text.hpp"

namespace {

bool byte_at_a_time(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const trellune::Utf8Sequence sequence = trellune::decode_utf8_sequence(bytes.substr(i));
    if (!sequence.well_formed) return false;
    i += sequence.length;
  }
  return true;
}

bool in_reads(std::string_view bytes) {
  constexpr std::size_t kRead = 64 * 1024;
  trellune::Utf8Validator validator;
  for (std::size_t at = 0; at < bytes.size(); at += kRead) validator.feed(bytes.substr(at, kRead));
  return validator.valid();
}

using trellune::bench::SampleText;

void check(benchmark::State& state, bool (*valid_utf8)(std::string_view), SampleText kind) {
  std::string text;
  trellune::bench::append_sample_text(text, kind, 1u << 20);
  for (auto _ : state) {
    bool valid = valid_utf8(text);
    benchmark::DoNotOptimize(valid);
    if (!valid) state.SkipWithError("text not valid");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void register_all() {
  constexpr std::pair<const char*, SampleText> kTexts[] = {{"ascii", SampleText::kAscii},
                                                    {"multibyte", SampleText::kMultiByte},
                                                    {"base64", SampleText::kBase64},
                                                    {"mostly_ascii", SampleText::kMostlyAscii}};
  std::vector<std::pair<std::string, bool (*)(std::string_view)>> checks;
  for (const trellune::base_internal::Utf8Check& c : trellune::base_internal::available_utf8_checks()) {
    checks.emplace_back(c.name, c.check);
  }
  checks.emplace_back("is_valid_utf8", trellune::is_valid_utf8);
  checks.emplace_back("validator_64k_reads", in_reads);
  checks.emplace_back("byte_at_a_time", byte_at_a_time);
  for (const auto& [name, kind] : kTexts) {
    for (const auto& [check_name, valid_utf8] : checks) {
      benchmark::RegisterBenchmark((check_name + "/" + name).c_str(), check, valid_utf8, kind);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
