#include "bin/trellune-mcp/bridge_config.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace trellune {
namespace {

struct PortCase {
  std::string_view text;
  std::optional<std::uint16_t> expected;
};

constexpr PortCase kPortCases[] = {
    {"443", 443},
    {"+443", 443},
    {"0443", 443},
    {"000000443", 443},  // five or more digits: the overflow-checked path
    {"0080", 80},
    {"65535", 65535},
    {"065535", 65535},
    {"1", 1},
    {"9999", 9999},
    {"0", 0},  // parses; the configuration then treats it as missing
    {"+0", 0},
    {"0000", 0},
    {"65536", std::nullopt},
    {"99999", std::nullopt},
    {"655350", std::nullopt},
    {"4294967739", std::nullopt},  // 2^32 + 443 must not wrap to 443
    {"-1", std::nullopt},
    {"+", std::nullopt},
    {"-", std::nullopt},
    {"", std::nullopt},
    {" 443", std::nullopt},
    {"443 ", std::nullopt},
    {"0x1bb", std::nullopt},
    {"44.3", std::nullopt},
    {"++44", std::nullopt},
    {"+-44", std::nullopt},
    {"4-4", std::nullopt},
    {"443\n", std::nullopt},
    {"\xd9\xa4", std::nullopt},  // ARABIC-INDIC DIGIT FOUR is not an ASCII digit
};

TEST(ParsePortTest, AcceptsOnlyPlainDecimal) {
  for (const PortCase& c : kPortCases) {
    SCOPED_TRACE(testing::Message() << "port text \"" << c.text << "\"");
    EXPECT_EQ(parse_port(c.text), c.expected);
  }
}

struct ConfigCase {
  const char* name;
  const char* port;   // nullptr: absent
  const char* token;  // nullptr: absent
  bool valid;
  std::uint16_t port_value;
};

constexpr ConfigCase kConfigCases[] = {
    {"both usable", "443", "secret", true, 443},
    {"token of a single space is kept as is", "8080", " ", true, 8080},
    {"non-ASCII token", "1", "t\xc3\xa9st", true, 1},
    {"port absent", nullptr, "secret", false, 0},
    {"token absent", "443", nullptr, false, 0},
    {"both absent", nullptr, nullptr, false, 0},
    {"port zero", "0", "secret", false, 0},
    {"port plus zero", "+0", "secret", false, 0},
    {"port out of range", "65536", "secret", false, 0},
    {"port with space", " 443", "secret", false, 0},
    {"empty token", "443", "", false, 0},
    {"port not UTF-8", "443\xff", "secret", false, 0},
    {"token not UTF-8", "443", "sec\xc3\x28ret", false, 0},
    {"token with a surrogate encoded", "443", "\xed\xa0\x80", false, 0},
};

TEST(MakeBridgeConfigTest, ValidatesBothVariables) {
  for (const ConfigCase& c : kConfigCases) {
    SCOPED_TRACE(c.name);
    const std::optional<BridgeConfig> config = make_bridge_config(c.port, c.token);
    ASSERT_EQ(config.has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(config->port, c.port_value);
      EXPECT_EQ(config->token, c.token);  // byte for byte, never trimmed
    }
  }
}

}  // namespace
}  // namespace trellune
