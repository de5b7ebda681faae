// The bridge's whole configuration: two environment variables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trellune {

inline constexpr const char* kPortVariable = "TRELLUNE_MCP_PORT";
inline constexpr const char* kTokenVariable = "TRELLUNE_MCP_TOKEN";

struct BridgeConfig {
  std::uint16_t port = 0;  // never 0 once validated
  std::string token;       // never empty once validated; byte for byte as given
};

// Decimal port text: one optional leading "+", then ASCII digits only, no
// white space. Leading zeros are allowed; values above 65535 fail. The result
// may be 0, which the caller treats as missing.
std::optional<std::uint16_t> parse_port(std::string_view text);

// Validates the two raw values (null means absent). Both are always judged
// together: an absent, non-UTF-8 or unusable port, or an absent, empty or
// non-UTF-8 token, gives nullopt.
std::optional<BridgeConfig> make_bridge_config(const char* port_text, const char* token_text);

// Reads TRELLUNE_MCP_PORT, then TRELLUNE_MCP_TOKEN, and validates them.
std::optional<BridgeConfig> load_bridge_config();

}  // namespace trellune
