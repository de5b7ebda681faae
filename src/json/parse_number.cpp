// Reading JSON number literals: the route of last resort, and the scan on its
// own for tests and benchmarks. The scan itself is in
// json/internal/parse_number.hpp, inline in the parser.
#include "json/internal/parse_number.hpp"

#include <charconv>
#include <system_error>

#include "base/fatal.hpp"

namespace trellune::json_internal {
namespace {

int decimal_digit_count(std::uint64_t value) {
  int count = 1;
  while (value >= 10) {
    value /= 10;
    ++count;
  }
  return count;
}

}  // namespace

// The value of a literal that the fast routes cannot decide: libstdc++'s
// correctly rounded conversion of the whole text; false when it overflows.
// The span has passed the grammar, so none of the forms from_chars accepts
// beyond JSON ("inf", "nan", hex) can occur.
bool slow_to_double(const char* start, const char* end, std::uint64_t significand, std::int64_t exponent,
                    double& value) {
  const auto [stop, ec] = std::from_chars(start, end, value, std::chars_format::general);
  TRELLUNE_CHECK(stop == end);
  if (ec == std::errc()) return true;
  TRELLUNE_CHECK(ec == std::errc::result_out_of_range);
  // Out of range means the rounded value is zero or infinite (and the
  // output is left unspecified). The decimal exponent of the leading digit
  // tells which: overflow needs at least 308, underflow at most -324.
  if (decimal_digit_count(significand) - 1 + exponent >= 0) return false;
  value = 0.0;
  return true;
}

bool parse_number_literal(std::string_view literal, JsonNumber& number) {
  const char* const begin = literal.data();
  const char* const end = begin + literal.size();
  const char* p = begin;
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  JsonParseErrorKind error = JsonParseErrorKind::EndInValue;
  return scan_number(begin, p, end, negative, number, error) && p == end;
}

}  // namespace trellune::json_internal
