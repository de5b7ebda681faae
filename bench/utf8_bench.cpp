// is_valid_utf8 against a byte-at-a-time check (one decode_utf8_sequence per
// character, as the check ran before its automaton) on 1 MB texts: ASCII
// prose, multi-byte text (CJK and emoji), base64, and ASCII with an accented
// letter now and then. Bytes per second is the figure to read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

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

using trellune::bench::SampleText;

template <bool (*kCheck)(std::string_view)>
void check(benchmark::State& state, SampleText kind) {
  std::string text;
  trellune::bench::append_sample_text(text, kind, 1u << 20);
  for (auto _ : state) {
    bool valid = kCheck(text);
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
  for (const auto& [name, kind] : kTexts) {
    benchmark::RegisterBenchmark((std::string("is_valid_utf8/") + name).c_str(), check<trellune::is_valid_utf8>,
                                 kind);
    benchmark::RegisterBenchmark((std::string("byte_at_a_time/") + name).c_str(), check<byte_at_a_time>, kind);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
