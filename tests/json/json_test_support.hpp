// Helpers shared by the JSON tests.
#pragma once

#include <string>
#include <string_view>

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

}  // namespace trellune::test
