// Compact JSON text: no white space, members in key order, strings escaped
// minimally (RFC 8259 section 7), shortest round-trip floats.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/fatal.hpp"
#include "json/format_float.hpp"
#include "json/internal/compact_writer.hpp"
#include "json/internal/string_scan.hpp"

namespace trellune::json_internal {
namespace {

// Reserved before the first byte: most requests fit without a regrowth.
constexpr std::size_t kInitialCapacity = 128;
constexpr std::string_view kHexDigits = "0123456789abcdef";
// Bits of the largest finite binary64 without the sign: anything above is an
// infinity or a NaN.
constexpr std::uint64_t kMaxFiniteBits = 0x7FEFFFFFFFFFFFFF;
// The whole meta word of a Float64 value.
constexpr std::uint64_t kFloatMeta = TreeAccess::number_meta(JsonNumber::Kind::Float64);

}  // namespace

namespace {

constexpr std::uint64_t kEightOnes = 0x0101010101010101;
constexpr std::uint64_t kTenToTheEighth = 100000000;

// The eight decimal digits of a value below 10^8, leading zeros included, as
// bytes 0..9 with the first digit lowest (SWAR). Each step splits every lane
// in two by a multiply and shift that divides exactly for the lane's range:
//   [v]  ->  [v / 10^4 | v % 10^4]          two 32-bit lanes, below 10^4
//        ->  n / 100 = (n * 10486) >> 20    four 16-bit lanes, below 100
//        ->  n / 10  = (n * 103) >> 10      eight bytes, below 10
// The shifted products stay inside their lanes, and the masks drop what the
// shift brings down from the lane above.
std::uint64_t eight_digit_lanes(std::uint32_t value) {
  const std::uint64_t quads = (value / 10000) | (std::uint64_t{value % 10000} << 32);
  const std::uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007F0000007F;
  const std::uint64_t pairs = ((quads - hundreds * 100) << 16) | hundreds;
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000F;
  return ((pairs - tens * 10) << 8) | tens;
}

}  // namespace

std::size_t format_integer(std::uint64_t value, std::span<char, kIntegerScratchSize> scratch) {
  const auto put_eight = [&](std::size_t at, std::uint64_t lanes) {
    const std::uint64_t text = lanes + 0x30 * kEightOnes;
    std::memcpy(&scratch[at], &text, sizeof text);
  };
  TRELLUNE_CHECK(value >= kTenToTheEighth);
  // Up to sixteen digits (all ids and counts in practice) as two blocks of
  // eight; the leading zero bytes of the first block are skipped.
  if (value < kTenToTheEighth * kTenToTheEighth) {
    const std::uint64_t high = value / kTenToTheEighth;
    put_eight(scratch.size() - 8, eight_digit_lanes(static_cast<std::uint32_t>(value - high * kTenToTheEighth)));
    if (high < 100) {
      // Nine or ten digits, as in most ids: the leading ones from the pair
      // table, whose entries for 0..9 start with a "0" to skip.
      std::memcpy(&scratch[scratch.size() - 10], &kTwoDigits[2 * high], 2);
      return scratch.size() - 10 + (high < 10 ? 1 : 0);
    }
    const std::uint64_t high_lanes = eight_digit_lanes(static_cast<std::uint32_t>(high));
    put_eight(scratch.size() - 16, high_lanes);
    return scratch.size() - 16 + static_cast<std::size_t>(std::countr_zero(high_lanes) >> 3);
  }
  std::size_t first = scratch.size();
  const auto put_pair = [&](std::uint64_t pair) {
    first -= 2;
    std::memcpy(&scratch[first], &kTwoDigits[2 * pair], 2);
  };
  // Four digits per division: two table lookups for the remainder.
  while (value > 999) {
    const std::uint64_t four = value % 10000;
    value /= 10000;
    put_pair(four % 100);
    put_pair(four / 100);
  }
  if (value > 9) {
    put_pair(value % 100);
    value /= 100;
  }
  if (value != 0) scratch[--first] = static_cast<char>('0' + value);
  return first;
}

CompactSerializer::CompactSerializer(std::size_t capacity) {
  capacity = std::max(capacity, kInitialCapacity);
  begin_ = static_cast<char*>(std::malloc(capacity));
  if (begin_ == nullptr) fatal_allocation_failure(capacity);
  cursor_ = begin_;
  limit_ = begin_ + capacity;
}

CompactSerializer::CompactSerializer(std::string& text)
    : begin_(text.data()), cursor_(begin_), limit_(begin_ + text.size()), text_(&text) {}

CompactSerializer::~CompactSerializer() {
  if (text_ == nullptr) std::free(begin_);
}

void CompactSerializer::grow(std::size_t bytes) {
  const auto length = static_cast<std::size_t>(cursor_ - begin_);
  const auto capacity = static_cast<std::size_t>(limit_ - begin_);
  if (text_ != nullptr) {
    // The string's spare capacity first: resizing within it moves nothing
    // and clears only the bytes added.
    const std::size_t needed = length + bytes;
    const std::size_t doubled = std::max(needed, 2 * capacity);
    const std::size_t size = needed <= text_->capacity() ? std::min(doubled, text_->capacity()) : doubled;
    text_->resize(size);
    begin_ = text_->data();
    cursor_ = begin_ + length;
    limit_ = begin_ + size;
    return;
  }
  // At least doubling keeps the number of reallocations logarithmic.
  const std::size_t grown = std::max(2 * capacity, length + bytes);
  char* const moved = static_cast<char*>(std::realloc(begin_, grown));
  if (moved == nullptr) fatal_allocation_failure(grown);
  begin_ = moved;
  cursor_ = moved + length;
  limit_ = moved + grown;
}

JsonText CompactSerializer::finish() && {
  TRELLUNE_CHECK(text_ == nullptr);
  JsonText text(begin_, static_cast<std::size_t>(cursor_ - begin_));
  begin_ = nullptr;
  return text;
}

void CompactSerializer::finish_in_place() && {
  TRELLUNE_CHECK(text_ != nullptr);
  text_->resize(static_cast<std::size_t>(cursor_ - begin_));
}

void CompactSerializer::write_value(const JsonValue& value) { write_any<false>(value); }

void CompactSerializer::write_and_release(JsonValue&& value) {
  write_any<true>(value);
  TreeAccess::forget(value);
}

template <bool kRelease>
void CompactSerializer::write_any(const JsonValue& value) {
  const std::uint64_t word = TreeAccess::word(value);
  const std::uint64_t meta = TreeAccess::meta(value);
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      append("null");
      return;
    case JsonValue::Kind::Bool:
      append(word != 0 ? std::string_view("true") : std::string_view("false"));
      return;
    case JsonValue::Kind::Number:
      write_number(TreeAccess::number_of(word, meta));
      return;
    case JsonValue::Kind::String:
      write_text<kRelease>(&value, word, meta, 0);
      return;
    case JsonValue::Kind::Array:
      write_array<kRelease>(value.as_array());
      return;
    case JsonValue::Kind::Object:
      write_object<kRelease>(value.as_object());
      return;
  }
}

// Number texts are copied as fixed-size blocks from scratch areas with room
// behind them, which compiles to a few vector moves instead of a call; the
// cursor then moves by the text's own length.
void CompactSerializer::append_fixed(const char* text, std::size_t size) {
  char* out = reserve(kFixedCopy);
  std::memcpy(out, text, kFixedCopy);
  cursor_ = out + size;
}

// Digits are formed in registers and stored straight into the output:
// copying them from a scratch area would load bytes whose stores (of other
// widths and offsets) have not completed, which stalls until they have.
void CompactSerializer::write_unsigned(std::uint64_t value) {
  if (value < 100) {
    // Counts, indexes and flags: straight from the pair table, whose
    // entry for 0..9 has a leading "0" to skip.
    char* out = reserve(2);
    const std::size_t single = value < 10 ? 1 : 0;
    std::memcpy(out, &kTwoDigits[2 * value + single], 2);
    cursor_ = out + 2 - single;
    return;
  }
  if (value < kTenToTheEighth) {
    // Eight digit bytes with the leading zeros lowest: shifted out, the
    // first digit lands in byte 0, and the cursor moves by the digits kept.
    const std::uint64_t lanes = eight_digit_lanes(static_cast<std::uint32_t>(value));
    const int zeros = std::countr_zero(lanes) >> 3;
    const std::uint64_t text = (lanes + 0x30 * kEightOnes) >> (8 * zeros);
    char* out = reserve(sizeof text);
    std::memcpy(out, &text, sizeof text);
    cursor_ = out + 8 - zeros;
    return;
  }
  std::array<char, kIntegerScratchSize + kFixedCopy> scratch;
  const std::span<char, kIntegerScratchSize> digits(scratch.data(), kIntegerScratchSize);
  const std::size_t first = format_integer(value, digits);
  append_fixed(&scratch[first], kIntegerScratchSize - first);
}

void CompactSerializer::write_double(double value) {
  if ((std::bit_cast<std::uint64_t>(value) << 1 >> 1) > kMaxFiniteBits) {
    append("null");
    return;
  }
  cursor_ = write_float(value, reserve(kFloatScratchSize));
}

void CompactSerializer::write_number(JsonNumber number) {
  switch (number.kind()) {
    case JsonNumber::Kind::UInt64:
      write_unsigned(number.uint64());
      return;
    case JsonNumber::Kind::Int64: {
      const std::int64_t signed_value = number.int64();
      if (signed_value < 0) put('-');
      // Two's-complement negation as unsigned, so INT64_MIN has a magnitude.
      write_unsigned(signed_value < 0 ? 0 - static_cast<std::uint64_t>(signed_value)
                                      : static_cast<std::uint64_t>(signed_value));
      return;
    }
    case JsonNumber::Kind::Float64:
      write_double(number.float64());
      return;
  }
}

void CompactSerializer::write_escaped_string(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  // Room for the text and both quotes; each escape asks for its extra bytes.
  char* out = reserve(text.size() + 2);
  *out++ = '"';
  for (;;) {
    const char* stop = find_string_stop(p, end);
    const auto run = static_cast<std::size_t>(stop - p);
    std::memcpy(out, p, run);
    out += run;
    if (stop == end) break;
    cursor_ = out;
    // The escape, the rest of the text and the closing quote.
    out = reserve(6 + static_cast<std::size_t>(end - stop));
    const auto byte = static_cast<unsigned char>(*stop);
    const char letter = kEscapeTable[byte];
    *out++ = '\\';
    if (letter == 'u') {
      const char digits[5] = {'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
      std::memcpy(out, digits, sizeof digits);
      out += sizeof digits;
    } else {
      *out++ = letter;
    }
    p = stop + 1;
  }
  *out++ = '"';
  cursor_ = out;
}

// Floats, the bulk of coordinates, vectors and samples, skip the dispatch.
template <bool kRelease>
void CompactSerializer::write_element(const JsonValue& value) {
  if (TreeAccess::meta(value) == kFloatMeta) {
    write_double(std::bit_cast<double>(TreeAccess::word(value)));
  } else {
    write_any<kRelease>(value);
  }
}

template <bool kRelease>
void CompactSerializer::write_array(const JsonArray& array) {
  put('[');
  const JsonValue* const end = array.end();
  for (const JsonValue* element = array.begin(); element != end; ++element) {
    if (element + 1 != end) TreeAccess::prefetch_payload(element[1]);
    if (element != array.begin()) put(',');
    write_element<kRelease>(*element);
  }
  put(']');
  if constexpr (kRelease) {
    if (ArrayBlock* block = TreeAccess::block(array)) ArrayBlock::release(block);
  }
}

template <bool kRelease>
void CompactSerializer::write_object(const JsonObject& object) {
  const std::span<const JsonMember> members = object.members();
  put('{');
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size()) TreeAccess::prefetch_payload(members[i + 1].value);
    if (i != 0) put(',');
    const JsonString& key = members[i].key;
    write_text<kRelease>(&key, TreeAccess::word(key), TreeAccess::meta(key), ':');
    write_element<kRelease>(members[i].value);
  }
  put('}');
  if constexpr (kRelease) {
    if (ObjectBlock* block = TreeAccess::block(object)) ObjectBlock::release(block);
  }
}

template <bool kRelease>
void CompactSerializer::write_text(const void* handle, std::uint64_t word, std::uint64_t meta, char after) {
  const bool heap = (meta & TreeAccess::kHeapText) != 0;
  if ((meta & TreeAccess::kPlainText) == 0) {
    write_escaped_string(TreeAccess::text_of(handle, word, meta));
    if (after != 0) put(after);
  } else if (!heap) {
    // Both words of the handle at once, then the cursor moves past the text
    // only; the bytes after it are written over next.
    const std::size_t size = (meta >> TreeAccess::kInlineLengthShift) & 0xFF;
    char* out = reserve(2 * sizeof(std::uint64_t) + 2);
    *out = '"';
    std::memcpy(out + 1, &word, sizeof word);
    std::memcpy(out + 1 + sizeof word, &meta, sizeof meta);
    out[1 + size] = '"';
    out[2 + size] = after;
    cursor_ = out + 2 + size + (after != 0 ? 1 : 0);
  } else {
    const std::size_t size = meta & TreeAccess::kLengthMask;
    char* out = reserve(size + 3);
    *out++ = '"';
    std::memcpy(out, reinterpret_cast<const char*>(word), size);
    out += size;
    *out++ = '"';
    *out = after;
    cursor_ = out + (after != 0 ? 1 : 0);
  }
  if constexpr (kRelease) {
    if (heap) TreeAccess::release_text(word, meta);
  }
}

}  // namespace trellune::json_internal

namespace trellune {

JsonText& JsonText::operator=(JsonText&& other) noexcept {
  if (this != &other) {
    std::free(bytes_);
    bytes_ = std::exchange(other.bytes_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

JsonText::~JsonText() { std::free(bytes_); }

JsonText serialize_compact(const JsonValue& value) {
  json_internal::CompactSerializer serializer;
  serializer.write_value(value);
  return std::move(serializer).finish();
}

JsonText inject_token(JsonObject object, std::string_view token, std::size_t expected_size) {
  // The replaced value, of whatever kind, is released here.
  (void)object.set_member("token", JsonValue(token));
  json_internal::CompactSerializer serializer(expected_size);
  serializer.write_and_release(JsonValue(std::move(object)));
  return std::move(serializer).finish();
}

void inject_token_into(JsonObject object, std::string_view token, std::string& text) {
  (void)object.set_member("token", JsonValue(token));
  json_internal::CompactSerializer serializer(text);
  serializer.write_and_release(JsonValue(std::move(object)));
  std::move(serializer).finish_in_place();
}

}  // namespace trellune
