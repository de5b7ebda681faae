// The whole-text checks behind is_valid_utf8 and Utf8Validator, and the rule
// of RFC 3629 they share. is_valid_utf8 runs the fastest check this processor
// offers; the tests and the benchmark run every one it can.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace trellune::base_internal {

// The well-formed byte sequences (RFC 3629 section 4, Unicode table 3-7)
// differ only in the lead byte and the range allowed for the second byte;
// every later byte is 80..BF.
//
//   C2..DF  80..BF
//   E0      A0..BF  80..BF            (no overlongs)
//   E1..EC  80..BF  80..BF
//   ED      80..9F  80..BF            (no surrogates)
//   EE..EF  80..BF  80..BF
//   F0      90..BF  80..BF  80..BF    (no overlongs)
//   F1..F3  80..BF  80..BF  80..BF
//   F4      80..8F  80..BF  80..BF    (nothing above U+10FFFF)
struct LeadByte {
  std::size_t continuation_count;
  unsigned char second_low;
  unsigned char second_high;
  char32_t payload_mask;
};

constexpr LeadByte lead_byte_rule(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF, 0x1F};
  if (lead == 0xE0) return {2, 0xA0, 0xBF, 0x0F};
  if (lead == 0xED) return {2, 0x80, 0x9F, 0x0F};
  if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF, 0x0F};
  if (lead == 0xF0) return {3, 0x90, 0xBF, 0x07};
  if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF, 0x07};
  if (lead == 0xF4) return {3, 0x80, 0x8F, 0x07};
  // 80..BF (a stray continuation), C0, C1 (always overlong), F5..FF.
  return {0, 0, 0, 0};
}

// Whether all of `bytes` is well-formed and ends between sequences.
using WholeTextCheck = bool (*)(std::string_view bytes);

struct Utf8Check {
  std::string_view name;
  WholeTextCheck check;
};

// The automaton, a shift per byte with ASCII skipped sixteen bytes at a time
// (utf8.cpp); it runs anywhere.
bool check_with_automaton(std::string_view bytes);

#if defined(__x86_64__)
// Sixteen bytes at a time with SSSE3's byte shuffle (utf8_vector.cpp). Only
// for a processor that has SSSE3, which x86-64 does not promise.
bool check_with_ssse3(std::string_view bytes);
// The same thirty-two bytes at a time with AVX2, where the processor has it.
bool check_with_avx2(std::string_view bytes);
#endif
#if defined(__aarch64__)
// Sixteen bytes at a time with NEON (utf8_vector.cpp), which every arm64
// processor has.
bool check_with_neon(std::string_view bytes);
#endif

// Every check this processor can run, the automaton first, the fastest last.
std::span<const Utf8Check> available_utf8_checks();

}  // namespace trellune::base_internal
