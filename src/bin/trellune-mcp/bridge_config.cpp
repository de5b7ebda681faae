#include "bin/trellune-mcp/bridge_config.hpp"

#include <cstdlib>

#include "base/utf8.hpp"

namespace trellune {

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text == "+" || text == "-") {
    return std::nullopt;
  }
  if (text.front() == '+') {
    text.remove_prefix(1);
  }
  // Up to four digits cannot exceed 9999, so only longer texts need the
  // overflow test; leading zeros make such texts legitimate ("000000443").
  const bool may_overflow = text.size() > 4;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (may_overflow && value > 65535) {
      return std::nullopt;
    }
  }
  return static_cast<std::uint16_t>(value);
}

namespace {

std::optional<std::string_view> usable_text(const char* raw) {
  if (raw == nullptr) {
    return std::nullopt;
  }
  const std::string_view text(raw);
  if (!is_valid_utf8(text)) {
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::optional<BridgeConfig> make_bridge_config(const char* port_text, const char* token_text) {
  std::uint16_t port = 0;
  if (const auto text = usable_text(port_text)) {
    port = parse_port(*text).value_or(0);
  }
  const std::string_view token = usable_text(token_text).value_or(std::string_view{});
  if (port == 0 || token.empty()) {
    return std::nullopt;
  }
  return BridgeConfig{port, std::string(token)};
}

std::optional<BridgeConfig> load_bridge_config() {
  // Both are looked up, in this order, before either is judged.
  const char* port_text = std::getenv(kPortVariable);
  const char* token_text = std::getenv(kTokenVariable);
  return make_bridge_config(port_text, token_text);
}

}  // namespace trellune
