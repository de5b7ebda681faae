// The pieces of the compact writer, open to the tests. What is not inline
// here is defined in json/serialize_compact.cpp, beside the writer itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "json/internal/number_basics.hpp"
#include "json/internal/string_scan.hpp"
#include "json/json_value.hpp"

namespace trellune::json_internal {

// The longest texts are "18446744073709551615" and, with the sign the caller
// adds, "-9223372036854775808".
inline constexpr std::size_t kIntegerScratchSize = 20;

// Per byte: 0 for "copy as is", else the letter after the reverse solidus
// ('u' meaning "\u00XX"). Only bytes below 0x20, '"' and '\\' are escaped;
// '/', DEL and all of UTF-8's multi-byte sequences pass unchanged.
inline constexpr std::array<char, 256> kEscapeTable = [] {
  std::array<char, 256> table{};
  for (std::size_t byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
  for (const ShortEscape& escape : kShortEscapes) table[static_cast<unsigned char>(escape.byte)] = escape.letter;
  return table;
}();

// Writes the decimal digits of `value`, at least 10^8, at the end of
// `scratch` and returns the index of the first one; the writer forms shorter
// integers in registers itself. At most 19 digits for magnitudes up to 2^63,
// so the byte before them is free for a minus sign.
std::size_t format_integer(std::uint64_t value, std::span<char, kIntegerScratchSize> scratch);

// Appends the compact text of values to one growing buffer.
class CompactSerializer {
 public:
  // Room for `capacity` bytes at first, or for most requests if less.
  explicit CompactSerializer(std::size_t capacity = 0);
  // Writes over `text` instead, whose bytes and memory it takes as room;
  // finish_in_place() leaves the text there.
  explicit CompactSerializer(std::string& text);
  CompactSerializer(const CompactSerializer&) = delete;
  CompactSerializer& operator=(const CompactSerializer&) = delete;
  ~CompactSerializer();

  void write_value(const JsonValue& value);
  // Writes `value` and releases its payload as it goes, block by block
  // right after each is written: one walk of the tree instead of a second
  // one to destroy it. `value` is left owning nothing.
  void write_and_release(JsonValue&& value);
  // The quoted string with the escapes of kEscapeTable.
  void write_escaped_string(std::string_view text);

  JsonText finish() &&;
  void finish_in_place() &&;

 private:
  // At least `bytes` bytes of room at cursor_; returns cursor_.
  char* reserve(std::size_t bytes) {
    if (static_cast<std::size_t>(limit_ - cursor_) < bytes) grow(bytes);
    return cursor_;
  }
  void grow(std::size_t bytes);
  void append(std::string_view text) {
    std::memcpy(reserve(text.size()), text.data(), text.size());
    cursor_ += text.size();
  }
  // Appends [text, text + size), reading kFixedCopy bytes from `text`.
  static constexpr std::size_t kFixedCopy = 32;
  void append_fixed(const char* text, std::size_t size);
  void put(char c) {
    *reserve(1) = c;
    ++cursor_;
  }
  // With kRelease, every heap block of the value is released once written.
  template <bool kRelease>
  void write_any(const JsonValue& value);
  // An element or member value: write_any with a shortcut for floats.
  template <bool kRelease>
  void write_element(const JsonValue& value);
  // A value's or key's text, quoted, then `after` unless it is 0.
  template <bool kRelease>
  void write_text(const void* handle, std::uint64_t word, std::uint64_t meta, char after);
  void write_number(JsonNumber number);
  void write_unsigned(std::uint64_t value);
  // A float, or null for a non-finite one.
  void write_double(double value);
  template <bool kRelease>
  void write_array(const JsonArray& array);
  template <bool kRelease>
  void write_object(const JsonObject& object);

  // A malloc block, grown by realloc, which can extend it in place or move
  // a large one by remapping its pages where a std::string would zero-fill
  // and copy; or the caller's string. [begin_, cursor_) is written,
  // [cursor_, limit_) is room.
  char* begin_;
  char* cursor_;
  char* limit_;
  std::string* text_ = nullptr;
};

}  // namespace trellune::json_internal
