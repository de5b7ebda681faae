// Holds the UTF-8 checks to the decoder on every input, then fuzzes
// parse_json with the valid UTF-8 texts (its precondition) and checks the
// writer against the parser: whatever parses is written as one line of valid
// UTF-8 that parses back to a tree written the same way. A text that is one
// float is also checked against std::from_chars.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/fatal.hpp"
#include "base/internal/utf8_checks.hpp"
#include "base/utf8.hpp"
#include "json/json_value.hpp"

namespace {

// The token holds bytes that must be escaped, one that must not, and UTF-8.
constexpr std::string_view kToken = "t\"o\\k\ne\x7F\xC3\xA9n";

// A top-level number must be the binary64 value nearest to its text, as
// libstdc++'s correctly rounded std::from_chars reads it.
void check_number(std::string_view text, const trellune::JsonValue& value) {
  if (value.kind() != trellune::JsonValue::Kind::Number) return;
  const trellune::JsonNumber number = value.as_number();
  if (number.kind() != trellune::JsonNumber::Kind::Float64) return;
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  const std::string_view literal = text.substr(first, last - first + 1);
  double expected = 0;
  const auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), expected);
  TRELLUNE_CHECK(end == literal.data() + literal.size());
  if (ec == std::errc::result_out_of_range) {
    // Underflow; overflow would have failed the parse.
    TRELLUNE_CHECK(number.float64() == 0.0);
    TRELLUNE_CHECK(std::signbit(number.float64()) == (literal.front() == '-'));
    return;
  }
  TRELLUNE_CHECK(std::bit_cast<std::uint64_t>(number.float64()) == std::bit_cast<std::uint64_t>(expected));
}

void check_written_text(std::string_view text) {
  TRELLUNE_CHECK(trellune::is_valid_utf8(text));
  TRELLUNE_CHECK(text.find('\n') == std::string_view::npos);
  TRELLUNE_CHECK(text.find('\r') == std::string_view::npos);
}

// The verdict of the decoder, one sequence at a time, against which every
// faster UTF-8 check is held.
bool valid_by_decoding(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const trellune::Utf8Sequence sequence = trellune::decode_utf8_sequence(text.substr(i));
    if (!sequence.well_formed) return false;
    i += sequence.length;
  }
  return true;
}

// Each check this processor runs, and the text fed in two pieces, cut where
// its first byte says.
void check_utf8_checks(std::string_view text, bool valid) {
  for (const trellune::base_internal::Utf8Check& check : trellune::base_internal::available_utf8_checks()) {
    TRELLUNE_CHECK(check.check(text) == valid);
  }
  const std::size_t cut = text.empty() ? 0 : static_cast<unsigned char>(text[0]) % (text.size() + 1);
  trellune::Utf8Validator pieces;
  pieces.feed(text.substr(0, cut));
  pieces.feed(text.substr(cut));
  TRELLUNE_CHECK(pieces.valid() == valid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool valid = valid_by_decoding(text);
  check_utf8_checks(text, valid);
  if (!valid) return 0;
  // Parsed as the relay parses a request it may stamp.
  trellune::JsonParseResult parsed = trellune::parse_json(text, {.reserve_one_member = true});
  if (!parsed.ok()) return 0;
  check_number(text, parsed.value());

  const trellune::JsonText written = trellune::serialize_compact(parsed.value());
  check_written_text(written);
  trellune::JsonParseResult reparsed = trellune::parse_json(written);
  TRELLUNE_CHECK(reparsed.ok());
  TRELLUNE_CHECK(trellune::serialize_compact(reparsed.value()) == written);

  if (parsed.value().is_object()) {
    const std::size_t members = parsed.value().as_object().size();
    const bool had_token = parsed.value().as_object().find("token") != nullptr;
    // Reserved as the relay does, from the line's size.
    const trellune::JsonText stamped =
        trellune::inject_token(std::move(parsed.value().as_object()), kToken, text.size() + kToken.size() + 16);
    check_written_text(stamped);
    trellune::JsonParseResult back = trellune::parse_json(stamped);
    TRELLUNE_CHECK(back.ok() && back.value().is_object());
    const trellune::JsonObject& object = back.value().as_object();
    TRELLUNE_CHECK(object.size() == members + (had_token ? 0 : 1));
    const trellune::JsonValue* token = object.find("token");
    TRELLUNE_CHECK(token != nullptr && token->kind() == trellune::JsonValue::Kind::String);
    TRELLUNE_CHECK(token->as_string() == kToken);
    TRELLUNE_CHECK(trellune::serialize_compact(back.value()) == stamped);
    // Written over the text itself, as the relay writes it over the line.
    trellune::JsonParseResult again = trellune::parse_json(text, {.reserve_one_member = true});
    std::string line(text);
    trellune::inject_token_into(std::move(again.value().as_object()), kToken, line);
    TRELLUNE_CHECK(stamped == line);
  }
  return 0;
}
