#include "base/utf8.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "base/internal/utf8_checks.hpp"

namespace trellune {
namespace {

using base_internal::lead_byte_rule;
using base_internal::LeadByte;

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Validation runs lead_byte_rule as a finite automaton. A state is what the
// next byte must be: any lead byte (kAccept, between sequences), nothing
// (kError, for good), or a continuation byte within [low, high] with
// `remaining` continuation bytes still to come, itself included.
struct ValidatorState {
  std::size_t remaining;
  unsigned char low;
  unsigned char high;
};

constexpr std::size_t kAccept = 0;
constexpr std::size_t kError = 1;
constexpr ValidatorState kValidatorStates[] = {
    {0, 0, 0},        {0, 0, 0},        {1, 0x80, 0xBF}, {2, 0x80, 0xBF}, {3, 0x80, 0xBF},
    {2, 0xA0, 0xBF},  {2, 0x80, 0x9F},  {3, 0x90, 0xBF}, {3, 0x80, 0x8F},
};
constexpr std::size_t kValidatorStateCount = std::size(kValidatorStates);

constexpr std::size_t validator_state(std::size_t remaining, unsigned char low, unsigned char high) {
  for (std::size_t s = kError + 1; s < kValidatorStateCount; ++s) {
    const ValidatorState& state = kValidatorStates[s];
    if (state.remaining == remaining && state.low == low && state.high == high) return s;
  }
  std::abort();  // not a constant expression: a missing state fails the build
}

constexpr std::size_t next_validator_state(std::size_t s, unsigned char byte) {
  if (s == kError) return kError;
  if (s == kAccept) {
    if (byte < 0x80) return kAccept;
    const LeadByte rule = lead_byte_rule(byte);
    if (rule.continuation_count == 0) return kError;
    return validator_state(rule.continuation_count, rule.second_low, rule.second_high);
  }
  const ValidatorState& state = kValidatorStates[s];
  if (byte < state.low || byte > state.high) return kError;
  if (state.remaining == 1) return kAccept;
  return validator_state(state.remaining - 1, 0x80, 0xBF);
}

// The transitions packed by input byte: kTransitions[b] holds, in the six
// bits at s * 6, the state that b leads to from state s, itself as its
// shift (next * 6). So one step is `state = kTransitions[b] >> state`: the
// row loads without waiting for the state, and the chain from one byte to
// the next is a single shift, where a table indexed by state and byte would
// put a dependent load on it. A shift count is taken mod 64 by both x86-64
// and arm64, so the `& 63` that keeps the C++ well defined costs nothing.
constexpr unsigned kStateBits = 6;
static_assert(kValidatorStateCount * kStateBits <= 64);

constexpr std::array<std::uint64_t, 256> make_transitions() {
  std::array<std::uint64_t, 256> rows{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    for (std::size_t s = 0; s < kValidatorStateCount; ++s) {
      const std::uint64_t next = next_validator_state(s, static_cast<unsigned char>(byte));
      rows[byte] |= (next * kStateBits) << (s * kStateBits);
    }
  }
  return rows;
}

constexpr std::array<std::uint64_t, 256> kTransitions = make_transitions();

inline std::uint64_t step(std::uint64_t state, unsigned char byte) {
  return kTransitions[byte] >> (state & 63);
}

constexpr std::uint64_t kAcceptShift = kAccept * kStateBits;
constexpr std::uint64_t kErrorShift = kError * kStateBits;
static_assert(kAcceptShift == 0, "a Utf8Validator starts at 0, between sequences");

// Runs the automaton from `state` over `bytes` and returns the state after
// them: kErrorShift as soon as a block ends in the error state.
std::uint64_t run_automaton(std::uint64_t state, std::string_view bytes) {
  // Sixteen bytes a block: a block of ASCII between sequences is skipped with
  // two loads and a test; any other block goes through the automaton, and a
  // sequence may run on into the next block.
  constexpr std::size_t kBlock = 16;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, data + i, sizeof low);
    std::memcpy(&high, data + i + 8, sizeof high);
    if (((low | high) & kHighBits) == 0 && (state & 63) == kAcceptShift) continue;
    for (std::size_t k = 0; k < kBlock; ++k) state = step(state, data[i + k]);
    if ((state & 63) == kErrorShift) return kErrorShift;
  }
  for (; i < size; ++i) state = step(state, data[i]);
  return state & 63;
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

namespace base_internal {

bool check_with_automaton(std::string_view bytes) { return run_automaton(kAcceptShift, bytes) == kAcceptShift; }

}  // namespace base_internal

namespace {

// Chosen once: the processor does not change under the program.
base_internal::WholeTextCheck fastest_check() {
  static const base_internal::WholeTextCheck check = base_internal::available_utf8_checks().back().check;
  return check;
}

// Where the last sequence of bytes[begin, end) begins if it may run on past
// `end`: at a lead byte among the last three bytes. Otherwise `end`.
std::size_t last_open_sequence(std::string_view bytes, std::size_t begin) {
  const std::size_t end = bytes.size();
  for (std::size_t i = end; i > begin && end - i < 3; --i) {
    const auto byte = static_cast<unsigned char>(bytes[i - 1]);
    if (byte >= 0xC0) return i - 1;
    if (byte < 0x80) break;
  }
  return end;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) { return fastest_check()(bytes); }

// A text may be cut at any byte that is not a continuation byte: it is valid
// just when both parts are. So the automaton finishes the sequence that the
// last piece left open, the fastest check takes the piece up to its last
// sequence, and the automaton takes that sequence if it may be unfinished.
void Utf8Validator::feed(std::string_view bytes) {
  std::size_t i = 0;
  for (; i < bytes.size() && state_ != kAcceptShift && state_ != kErrorShift; ++i) {
    state_ = step(state_, static_cast<unsigned char>(bytes[i])) & 63;
  }
  if (state_ == kErrorShift || i == bytes.size()) return;
  const std::size_t open = last_open_sequence(bytes, i);
  if (!fastest_check()(bytes.substr(i, open - i))) {
    state_ = kErrorShift;
    return;
  }
  state_ = run_automaton(kAcceptShift, bytes.substr(open));
}

bool Utf8Validator::valid() const { return state_ == kAcceptShift; }

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
