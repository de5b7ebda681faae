// The parser's number conversion on its own, for tests and benchmarks.
#pragma once

#include <string_view>

#include "json/json_value.hpp"

namespace trellune::json_internal {

// Converts `literal`, a whole JSON number and nothing else, exactly as
// parse_json would; false if it is not one or overflows binary64.
bool parse_number_literal(std::string_view literal, JsonNumber& number);

}  // namespace trellune::json_internal
