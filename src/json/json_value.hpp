// The generic JSON value tree (RFC 8259), its parser and its compact writer.
//
// A tree is strictly nested and move-only: every value owns its payload, and
// destroying a value destroys everything below it. Text is UTF-8 bytes with an
// explicit length; a NUL byte is an ordinary character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trellune {

class JsonValue;
struct JsonMember;
using JsonArray = std::vector<JsonValue>;

// A number as the parser classified it. The parser makes `UInt64` for integer
// literals without sign, fraction or exponent that fit in 64 bits, `Int64`
// (always negative) for such literals with a minus sign and a magnitude of 1
// to 2^63, and a finite `Float64` for everything else ("-0", "1.0", "1e2",
// integers beyond those ranges). The serializer writes any value, so a
// hand-built non-finite float comes out as null and a non-negative `Int64`
// without a sign.
class JsonNumber {
 public:
  enum class Kind : std::uint8_t { UInt64, Int64, Float64 };

  static constexpr JsonNumber from_uint64(std::uint64_t value) { return JsonNumber(Kind::UInt64, value); }
  static constexpr JsonNumber from_int64(std::int64_t value) { return JsonNumber(Kind::Int64, value); }
  static constexpr JsonNumber from_float64(double value) { return JsonNumber(Kind::Float64, value); }

  constexpr Kind kind() const { return kind_; }
  // Each accessor requires the matching kind.
  constexpr std::uint64_t uint64() const { return u_; }
  constexpr std::int64_t int64() const { return i_; }
  constexpr double float64() const { return f_; }

 private:
  constexpr JsonNumber(Kind kind, std::uint64_t value) : u_(value), kind_(kind) {}
  constexpr JsonNumber(Kind kind, std::int64_t value) : i_(value), kind_(kind) {}
  constexpr JsonNumber(Kind kind, double value) : f_(value), kind_(kind) {}

  union {
    std::uint64_t u_;
    std::int64_t i_;
    double f_;
  };
  Kind kind_;
};

// Whether key `a` sorts before key `b`: unsigned byte-wise comparison, a
// proper prefix first. For UTF-8 this is code point order.
inline bool json_key_less(std::string_view a, std::string_view b);

// A map from key text to value with unique keys, traversed in ascending
// `json_key_less` order whatever the order of insertion.
class JsonObject {
 public:
  JsonObject() = default;
  JsonObject(JsonObject&&) noexcept = default;
  JsonObject& operator=(JsonObject&&) noexcept = default;
  ~JsonObject();

  // Builds an object from members in any order in O(n log n), moving them
  // out of `members`. Of members with equal keys the last value is kept.
  // `spare` members more fit before the storage grows.
  static JsonObject from_members(std::span<JsonMember> members, std::size_t spare = 0);

  // With an equal key present, its stored key and place stay, the value is
  // exchanged and the old one returned; otherwise the member is inserted in
  // key order and nothing is returned. A binary search, then an insertion
  // that moves the members after it: build large objects with from_members.
  std::optional<JsonValue> set_member(std::string key, JsonValue value);

  const JsonValue* find(std::string_view key) const;
  JsonValue* find(std::string_view key);

  std::size_t size() const;
  bool empty() const;
  // In ascending key order.
  std::span<const JsonMember> members() const;

 private:
  std::vector<JsonMember> members_;
};

// A tagged union over the six kinds of JSON value; the tags keep this order.
class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

  JsonValue() noexcept : kind_(Kind::Null) {}
  explicit JsonValue(bool value) noexcept : bool_(value), kind_(Kind::Bool) {}
  explicit JsonValue(JsonNumber value) noexcept : number_(value), kind_(Kind::Number) {}
  explicit JsonValue(std::string value) noexcept;
  explicit JsonValue(JsonArray value) noexcept;
  explicit JsonValue(JsonObject value) noexcept;
  // Without these, a string literal would pick the bool constructor.
  explicit JsonValue(const char* value) : JsonValue(std::string_view(value)) {}
  explicit JsonValue(std::string_view value);

  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  ~JsonValue();

  Kind kind() const { return kind_; }
  bool is_object() const { return kind_ == Kind::Object; }

  // Each accessor requires the matching kind; a mismatch is a fatal error.
  bool as_bool() const;
  JsonNumber as_number() const;
  const std::string& as_string() const;
  const JsonArray& as_array() const;
  JsonArray& as_array();
  const JsonObject& as_object() const;
  JsonObject& as_object();

 private:
  void destroy() noexcept;
  void move_from(JsonValue& other) noexcept;

  union {
    bool bool_;
    JsonNumber number_;
    std::string string_;
    JsonArray array_;
    JsonObject object_;
  };
  Kind kind_;
};

struct JsonMember {
  JsonMember() = default;
  // A member whose value is null, to be filled in.
  explicit JsonMember(std::string_view member_key) : key(member_key) {}
  JsonMember(std::string&& member_key, JsonValue&& member_value) noexcept
      : key(std::move(member_key)), value(std::move(member_value)) {}

  std::string key;
  JsonValue value;
};

// ---------------------------------------------------------------------------
// Parsing

// X(name, description): the kinds of parse failure, in value order.
#define TRELLUNE_JSON_PARSE_ERROR_KINDS(X)                                              \
  X(EndInArray, "input ends inside an array")                                          \
  X(EndInObject, "input ends inside an object")                                        \
  X(EndInString, "input ends inside a string")                                         \
  X(EndInValue, "input ends where a value or more of one is due")                      \
  X(MissingColon, "object key not followed by ':'")                                    \
  X(MissingCommaOrBracket, "array element not followed by ',' or ']'")                 \
  X(MissingCommaOrBrace, "object member not followed by ',' or '}'")                   \
  X(BadLiteral, "misspelt null, true or false")                                        \
  X(NotAValue, "byte cannot begin a value")                                            \
  X(BadEscape, "invalid escape in string")                                             \
  X(BadNumber, "malformed number")                                                     \
  X(NumberTooLarge, "number overflows binary64")                                       \
  X(ControlCharInString, "raw control character in string")                            \
  X(KeyNotString, "object key is not a string")                                        \
  X(LoneSurrogate, "unpaired UTF-16 surrogate escape")                                 \
  X(IncompleteSurrogatePair, "leading surrogate escape not followed by '\\u'")         \
  X(CommaBeforeClose, "',' directly before ']' or '}'")                                \
  X(TrailingText, "text after the top-level value")                                    \
  X(NestingTooDeep, "arrays and objects nested more than 127 levels")

enum class JsonParseErrorKind : std::uint8_t {
#define TRELLUNE_JSON_KIND_ENUMERATOR(name, description) name,
  TRELLUNE_JSON_PARSE_ERROR_KINDS(TRELLUNE_JSON_KIND_ENUMERATOR)
#undef TRELLUNE_JSON_KIND_ENUMERATOR
};

std::string_view json_parse_error_kind_name(JsonParseErrorKind kind);
std::string_view json_parse_error_kind_description(JsonParseErrorKind kind);

struct JsonParseError {
  JsonParseErrorKind kind;
  // Bytes consumed when the failure was found; for diagnostics only.
  std::size_t offset;
};

// The whole tree of a text, or why it is not JSON. Never a partial tree.
class [[nodiscard]] JsonParseResult {
 public:
  JsonParseResult(JsonValue value) noexcept : value_(std::move(value)) {}
  JsonParseResult(JsonParseError error) noexcept : error_(error), ok_(false) {}

  bool ok() const { return ok_; }
  // Requires ok().
  JsonValue& value();
  // Requires !ok().
  JsonParseError error() const;

 private:
  JsonValue value_;
  JsonParseError error_{JsonParseErrorKind::EndInValue, 0};
  bool ok_ = true;
};

// Parses one complete JSON text: one value with white space (space, tab, line
// feed, carriage return) around it, at most 127 nested arrays and objects.
// `text` must be valid UTF-8; it is not checked. Repeated keys keep the last
// value. A number's Float64 is the binary64 value nearest to its decimal text
// (ties to even); one whose nearest value is infinite fails.
JsonParseResult parse_json(std::string_view text);

// ---------------------------------------------------------------------------
// Writing

// The compact text of `value`: no white space, members in key order, line
// feed and carriage return only ever escaped, floats in shortest round-trip
// form. Cannot fail.
std::string serialize_compact(const JsonValue& value);

// Sets the member "token" of `object` to the string `token`, replacing any
// value it had, and returns the compact text of the object.
std::string inject_token(JsonObject object, std::string_view token);

}  // namespace trellune

#include "json/internal/json_value_inline.hpp"
