// Helpers shared by the JSON tests.
#pragma once

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "json/json_value.hpp"

namespace trellune::test {

// `text` with bytes outside printable ASCII shown as \xNN, for traces.
inline std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

// Parses `text`, which must succeed, and checks what `shown` makes of the
// value: its compact form, say, or its string.
template <class Shown>
void expect_parsed_as(std::string_view text, Shown shown, std::string_view expected) {
  SCOPED_TRACE(printable(text));
  JsonParseResult result = parse_json(text);
  ASSERT_TRUE(result.ok()) << json_parse_error_kind_name(result.error().kind);
  const std::string got(shown(result.value()));
  EXPECT_EQ(got, expected) << printable(got) << " where " << printable(expected) << " was expected";
}

inline std::string compact_form(const JsonValue& value) { return std::string(serialize_compact(value).view()); }

}  // namespace trellune::test
