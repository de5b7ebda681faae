// Fuzzes parse_json with valid UTF-8 texts (its precondition) and checks the
// writer against the parser: whatever parses is written as one line of valid
// UTF-8 that parses back to a tree written the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "io_error/fatal.hpp"
#include "io_error/utf8.hpp"
#include "json/json_value.hpp"

namespace {

// The token holds bytes that must be escaped, one that must not, and UTF-8.
constexpr std::string_view kToken = "t\"o\\k\ne\x7F\xC3\xA9n";

void check_written_text(std::string_view text) {
  TRELLUNE_CHECK(trellune::is_valid_utf8(text));
  TRELLUNE_CHECK(text.find('\n') == std::string_view::npos);
  TRELLUNE_CHECK(text.find('\r') == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!trellune::is_valid_utf8(text)) return 0;
  trellune::JsonParseResult parsed = trellune::parse_json(text);
  if (!parsed.ok()) return 0;

  const std::string written = trellune::serialize_compact(parsed.value());
  check_written_text(written);
  trellune::JsonParseResult reparsed = trellune::parse_json(written);
  TRELLUNE_CHECK(reparsed.ok());
  TRELLUNE_CHECK(trellune::serialize_compact(reparsed.value()) == written);

  if (parsed.value().is_object()) {
    const std::size_t members = parsed.value().as_object().size();
    const bool had_token = parsed.value().as_object().find("token") != nullptr;
    const std::string stamped = trellune::inject_token(std::move(parsed.value().as_object()), kToken);
    check_written_text(stamped);
    trellune::JsonParseResult back = trellune::parse_json(stamped);
    TRELLUNE_CHECK(back.ok() && back.value().is_object());
    const trellune::JsonObject& object = back.value().as_object();
    TRELLUNE_CHECK(object.size() == members + (had_token ? 0 : 1));
    const trellune::JsonValue* token = object.find("token");
    TRELLUNE_CHECK(token != nullptr && token->kind() == trellune::JsonValue::Kind::String);
    TRELLUNE_CHECK(token->as_string() == kToken);
    TRELLUNE_CHECK(trellune::serialize_compact(back.value()) == stamped);
  }
  return 0;
}
