#include "base/utf8.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace trellune {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

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

constexpr char kReplacement[] = "\xEF\xBF\xBD";
constexpr std::size_t kReplacementSize = sizeof(kReplacement) - 1;

}  // namespace

Utf8Sequence decode_utf8_sequence(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return {lead, 1, true};
  const LeadByte rule = lead_byte_rule(lead);
  if (rule.continuation_count == 0) return {0, 1, false};

  char32_t code_point = lead & rule.payload_mask;
  for (std::size_t i = 1; i <= rule.continuation_count; ++i) {
    if (i >= bytes.size()) return {0, i, false};
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const unsigned char low = i == 1 ? rule.second_low : 0x80;
    const unsigned char high = i == 1 ? rule.second_high : 0xBF;
    // The bytes so far are the maximal subpart; the failing byte starts
    // whatever comes next.
    if (byte < low || byte > high) return {0, i, false};
    code_point = (code_point << 6) | (byte & 0x3Fu);
  }
  return {code_point, rule.continuation_count + 1, true};
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes.size() - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, sizeof word);
      const std::uint64_t high = word & kHighBits;
      if (high == 0) {
        i += 8;
        continue;
      }
      if constexpr (std::endian::native == std::endian::little) {
        // Skip the ASCII bytes in front of the first non-ASCII one.
        i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
      }
    }
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const Utf8Sequence sequence = decode_utf8_sequence(bytes.substr(i));
    if (!sequence.well_formed) return false;
    i += sequence.length;
  }
  return true;
}

std::string replace_invalid_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);

  // Size the result first so that it is allocated once.
  std::size_t size = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Sequence sequence = decode_utf8_sequence(bytes.substr(i));
    size += sequence.well_formed ? sequence.length : kReplacementSize;
    i += sequence.length;
  }
  std::string result;
  result.reserve(size);
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Sequence sequence = decode_utf8_sequence(bytes.substr(i));
    if (sequence.well_formed) {
      result.append(bytes.substr(i, sequence.length));
    } else {
      result.append(kReplacement, kReplacementSize);
    }
    i += sequence.length;
  }
  return result;
}

}  // namespace trellune
