// json: the generic JSON value tree (RFC 8259), its parser and its compact
// writer, with the number conversions both need (format_float.hpp, and the
// reader and shared tables in internal/). Uses base only: it does no I/O and
// has no errors to report, only parse failures.
//
// A tree is strictly nested and move-only: every value owns its payload, and
// destroying a value destroys everything below it. Text is UTF-8 bytes with an
// explicit length; a NUL byte is an ordinary character.
//
// Values, keys, arrays and objects are small handles (16, 16, 8 and 8 bytes)
// that may be moved by copying their bytes: a moved-from handle is left
// owning nothing. Text of up to 14 bytes is held inside its handle; longer
// text, and the elements of arrays and objects, sit in one heap block each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace trellune {

class JsonValue;
struct JsonMember;

namespace json_internal {
struct TreeAccess;
struct ArrayBlock;
struct ObjectBlock;
}  // namespace json_internal

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
  friend struct json_internal::TreeAccess;

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

// Owned text, such as an object key. Converts to std::string_view.
class JsonString {
 public:
  JsonString() noexcept : word_(0), meta_(kEmptyMeta) {}
  explicit JsonString(std::string_view text);
  JsonString(JsonString&& other) noexcept : word_(other.word_), meta_(other.meta_) { other.forget(); }
  JsonString& operator=(JsonString&& other) noexcept;
  JsonString(const JsonString&) = delete;
  JsonString& operator=(const JsonString&) = delete;
  ~JsonString();

  std::string_view view() const;
  operator std::string_view() const { return view(); }
  const char* data() const { return view().data(); }
  std::size_t size() const { return view().size(); }
  bool empty() const { return size() == 0; }

  friend bool operator==(const JsonString& a, std::string_view b) { return a.view() == b; }

 private:
  friend struct json_internal::TreeAccess;
  // The empty inline string: length 0, tag of kind String.
  static constexpr std::uint64_t kEmptyMeta = std::uint64_t{3} << 56;

  void forget() {
    word_ = 0;
    meta_ = kEmptyMeta;
  }

  // Same layout as a JsonValue of kind String.
  std::uint64_t word_;
  std::uint64_t meta_;
};

// A sequence of values in a heap block that grows by doubling.
class JsonArray {
 public:
  JsonArray() noexcept = default;
  JsonArray(JsonArray&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  JsonArray& operator=(JsonArray&& other) noexcept;
  JsonArray(const JsonArray&) = delete;
  JsonArray& operator=(const JsonArray&) = delete;
  ~JsonArray();

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  JsonValue* begin();
  JsonValue* end();
  const JsonValue* begin() const;
  const JsonValue* end() const;
  // Each requires an index below size().
  JsonValue& operator[](std::size_t index);
  const JsonValue& operator[](std::size_t index) const;

  void push_back(JsonValue&& value);
  void reserve(std::size_t capacity);

 private:
  friend struct json_internal::TreeAccess;
  json_internal::ArrayBlock* block_ = nullptr;
};

// A map from key text to value with unique keys, traversed in ascending
// `json_key_less` order whatever the order of insertion.
class JsonObject {
 public:
  JsonObject() noexcept = default;
  JsonObject(JsonObject&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  JsonObject& operator=(JsonObject&& other) noexcept;
  JsonObject(const JsonObject&) = delete;
  JsonObject& operator=(const JsonObject&) = delete;
  ~JsonObject();

  // With an equal key present, its stored key and place stay, the value is
  // exchanged and the old one returned; otherwise the member is inserted in
  // key order and nothing is returned. A binary search, then an insertion
  // that moves the members after it.
  std::optional<JsonValue> set_member(std::string_view key, JsonValue value);

  const JsonValue* find(std::string_view key) const;
  JsonValue* find(std::string_view key);

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // In ascending key order.
  std::span<const JsonMember> members() const;

 private:
  friend struct json_internal::TreeAccess;
  json_internal::ObjectBlock* block_ = nullptr;
};

// A tagged union over the six kinds of JSON value; the tags keep this order.
class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

  JsonValue() noexcept : word_(0), meta_(0) {}
  explicit JsonValue(bool value) noexcept : word_(value ? 1 : 0), meta_(tag_bits(Kind::Bool)) {}
  explicit JsonValue(JsonNumber value) noexcept;
  explicit JsonValue(JsonString value) noexcept;
  explicit JsonValue(JsonArray value) noexcept;
  explicit JsonValue(JsonObject value) noexcept;
  // Without this, a string literal would pick the bool constructor.
  explicit JsonValue(const char* value) : JsonValue(std::string_view(value)) {}
  explicit JsonValue(std::string_view value);

  JsonValue(JsonValue&& other) noexcept : word_(other.word_), meta_(other.meta_) { other.meta_ = 0; }
  JsonValue& operator=(JsonValue&& other) noexcept;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  ~JsonValue() {
    if (owns_block()) release();
  }

  Kind kind() const { return static_cast<Kind>((meta_ >> 56) & kKindMask); }
  bool is_object() const { return kind() == Kind::Object; }

  // Each accessor requires the matching kind; a mismatch is a fatal error.
  bool as_bool() const;
  JsonNumber as_number() const;
  std::string_view as_string() const;
  const JsonArray& as_array() const;
  JsonArray& as_array();
  const JsonObject& as_object() const;
  JsonObject& as_object();

 private:
  friend struct json_internal::TreeAccess;
  friend class JsonString;

  // The tag, in the top byte of meta_: the kind in bits 0-2, a variant in
  // bits 4-5 (the number kind; for a string, whether it is inline) and, in
  // bit 7, whether the value may own a heap block.
  static constexpr std::uint64_t kKindMask = 0x7;
  static constexpr std::uint64_t kOwnsBlock = std::uint64_t{0x80} << 56;
  static constexpr std::uint64_t tag_bits(Kind kind) { return std::uint64_t{static_cast<std::uint8_t>(kind)} << 56; }

  bool owns_block() const { return (meta_ & kOwnsBlock) != 0; }
  // Destroys the payload; leaves the bytes as they are.
  void release() noexcept;

  // Bool: 0 or 1; Number: its bits; String: inline bytes 0-7 or the heap
  // pointer; Array and Object: their handle.
  union {
    std::uint64_t word_;
    JsonArray array_;
    JsonObject object_;
  };
  // String: inline bytes 8-13 and the length in byte 6, or a heap string's
  // 56-bit length. The tag is always byte 7.
  std::uint64_t meta_;
};

struct JsonMember {
  JsonMember() = default;
  // A member whose value is null, to be filled in.
  explicit JsonMember(std::string_view member_key) : key(member_key) {}
  JsonMember(std::string_view member_key, JsonValue&& member_value) : key(member_key), value(std::move(member_value)) {}
  JsonMember(JsonString&& member_key, JsonValue&& member_value) noexcept
      : key(std::move(member_key)), value(std::move(member_value)) {}

  JsonString key;
  JsonValue value;
};

// ---------------------------------------------------------------------------
// Parsing

// X(name, description): the kinds of parse failure, in value order. The
// names are for tests and diagnostics; the descriptions say what each means.
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
struct JsonParseOptions {
  // When the text is an object, its storage gets room for one member more
  // than it holds, so that a caller who adds a member right after parsing
  // inserts it in place instead of moving every member to a larger block.
  bool reserve_one_member = false;
};
JsonParseResult parse_json(std::string_view text, JsonParseOptions options = {});

// ---------------------------------------------------------------------------
// Writing

namespace json_internal {
class CompactSerializer;
}  // namespace json_internal

// The text a serialization wrote: its output buffer, handed over as it is
// rather than copied into another container (a request can be megabytes).
class JsonText {
 public:
  JsonText() noexcept = default;
  JsonText(JsonText&& other) noexcept : bytes_(other.bytes_), size_(other.size_) {
    other.bytes_ = nullptr;
    other.size_ = 0;
  }
  JsonText& operator=(JsonText&& other) noexcept;
  JsonText(const JsonText&) = delete;
  JsonText& operator=(const JsonText&) = delete;
  ~JsonText();

  std::string_view view() const { return {bytes_, size_}; }
  operator std::string_view() const { return view(); }
  const char* data() const { return bytes_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  friend bool operator==(const JsonText& a, std::string_view b) { return a.view() == b; }
  // Spelled out: otherwise the one above and its reversed form tie.
  friend bool operator==(const JsonText& a, const JsonText& b) { return a.view() == b.view(); }

 private:
  friend class json_internal::CompactSerializer;
  // Takes over `bytes`, a block from malloc holding `size` bytes of text.
  JsonText(char* bytes, std::size_t size) noexcept : bytes_(bytes), size_(size) {}

  char* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// The compact text of `value`: no white space, members in key order, line
// feed and carriage return only ever escaped, floats in shortest round-trip
// form. Cannot fail.
JsonText serialize_compact(const JsonValue& value);

// Sets the member "token" of `object` to the string `token`, replacing any
// value it had, and returns the compact text of the object. `expected_size`,
// the size the text will likely have (that of the line parsed), is reserved
// at once: a large text then needs no regrowth, nor, below the allocator's
// mapping threshold, fresh pages of its own.
JsonText inject_token(JsonObject object, std::string_view token, std::size_t expected_size = 0);

// The same text as inject_token, written over `text` and left there: its
// bytes first, then its spare capacity, then more memory as needed. A caller
// done with the line it parsed (the tree holds copies) can so keep the
// stamped text in the line's memory, with no buffer of its own to allocate
// or, for a large line, to fault in.
void inject_token_into(JsonObject object, std::string_view token, std::string& text);

}  // namespace trellune

#include "json/internal/json_value_inline.hpp"
