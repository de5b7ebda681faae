// Fixed-seed text for the benchmarks that measure large lines: the same
// bytes in every run.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>

namespace trellune::bench {

// ASCII prose (with the JSON escapes a reply's text member holds), multi-byte
// text (CJK, 3 bytes a character, and emoji, 4 bytes), base64, or ASCII with
// an accented letter now and then.
enum class SampleText { kAscii, kMultiByte, kBase64, kMostlyAscii };

// Appends words of `kind` to `text` until it holds at least `size` bytes; the
// last word may run past it.
inline void append_sample_text(std::string& text, SampleText kind, std::size_t size) {
  static constexpr const char* kWords[] = {"the ", "bridge ", "relays ", "lines ", "of ", "text, ", "and ",
                                           "checks ", "each ", "one. ", "\\n", "\\\"quoted\\\" "};
  static constexpr const char* kGlyphs[] = {"漢", "字", "の", "テ", "ス", "ト", "한", "국", "语", "言",
                                            "😀", "🚀", "🎉", "👍", " ", "、"};
  static constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  const auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::size_t>(state >> 33);
  };
  while (text.size() < size) {
    switch (kind) {
      case SampleText::kAscii: text += kWords[next() % std::size(kWords)]; break;
      case SampleText::kMultiByte: text += kGlyphs[next() % std::size(kGlyphs)]; break;
      case SampleText::kBase64: text += kBase64[next() % 64]; break;
      case SampleText::kMostlyAscii: text += next() % 20 == 0 ? "café " : kWords[next() % std::size(kWords)]; break;
    }
  }
}

}  // namespace trellune::bench
