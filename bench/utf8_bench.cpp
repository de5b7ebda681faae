// is_valid_utf8 against a byte-at-a-time check (one decode_utf8_sequence per
// character, as the check ran before its automaton) on 1 MB texts: ASCII
// prose, multi-byte text (CJK and emoji), base64, and ASCII with an accented
// letter now and then. Bytes per second is the figure to read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/utf8.hpp"

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

enum class Text { kAscii, kMultiByte, kBase64, kMostlyAscii };

// About 1 MB of `kind`, the same bytes every run.
std::string make_text(Text kind) {
  static constexpr const char* kWords[] = {"the ", "bridge ", "relays ", "lines ", "of ", "text, ", "and ",
                                           "checks ", "each ", "one. "};
  static constexpr const char* kGlyphs[] = {"漢", "字", "の", "テ", "ス", "ト", "한", "국", "语", "言",
                                            "😀", "🚀", "🎉", "👍", " ", "、"};
  static constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  const auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::size_t>(state >> 33);
  };
  std::string text;
  while (text.size() < (1u << 20)) {
    switch (kind) {
      case Text::kAscii:
        text += kWords[next() % std::size(kWords)];
        break;
      case Text::kMultiByte:
        text += kGlyphs[next() % std::size(kGlyphs)];
        break;
      case Text::kBase64:
        text += kBase64[next() % 64];
        break;
      case Text::kMostlyAscii:
        text += next() % 20 == 0 ? "café " : kWords[next() % std::size(kWords)];
        break;
    }
  }
  return text;
}

template <bool (*kCheck)(std::string_view)>
void check(benchmark::State& state, Text kind) {
  const std::string text = make_text(kind);
  for (auto _ : state) {
    bool valid = kCheck(text);
    benchmark::DoNotOptimize(valid);
    if (!valid) state.SkipWithError("text not valid");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void register_all() {
  constexpr std::pair<const char*, Text> kTexts[] = {{"ascii", Text::kAscii},
                                                    {"multibyte", Text::kMultiByte},
                                                    {"base64", Text::kBase64},
                                                    {"mostly_ascii", Text::kMostlyAscii}};
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
