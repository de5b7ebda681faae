// Inline members of the value tree, kept apart so that json_value.hpp reads
// as the contract, and the layout that the parser, the writer and the tree's
// own code share.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "base/fatal.hpp"
#include "json/internal/block_pool.hpp"
#include "json/internal/string_scan.hpp"

namespace trellune {

static_assert(std::endian::native == std::endian::little, "inline text is read from the handle's bytes in order");
static_assert(sizeof(JsonValue) == 16 && sizeof(JsonString) == 16 && sizeof(JsonMember) == 32);

inline bool json_key_less(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  // memcmp compares as unsigned char, which is the order wanted.
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  return order < 0 || (order == 0 && a.size() < b.size());
}

namespace json_internal {

// The two words of a value handle, and everything that reads or builds them.
//
//   word                      meta
//   +-----------------------+ +--------------------+-----+-----+
//   | bytes 0-7             | | bytes 8-13         | len | tag |  inline text
//   +-----------------------+ +--------------------+-----+-----+
//   | pointer to the text   | | length (56 bits)         | tag |  heap text
//   | number bits, bool     | |                          | tag |
//   | block of an array or object                          | tag |
//
// Inline text is zero-padded, so its words, byte-swapped, order keys.
// A value's bytes may be copied elsewhere as long as the source is then
// forgotten (not destroyed): no handle points to itself.
struct TreeAccess {
  static constexpr int kTagShift = 56;
  static constexpr std::uint64_t kOwnsBlock = std::uint64_t{0x80} << kTagShift;
  static constexpr std::uint64_t kHeapText = std::uint64_t{0x10} << kTagShift;
  // Set on text that holds no byte the writer escapes: it is copied as is.
  static constexpr std::uint64_t kPlainText = std::uint64_t{0x40} << kTagShift;
  static constexpr std::uint64_t kNullMeta = 0;
  static constexpr std::uint64_t kBoolMeta = std::uint64_t{0x01} << kTagShift;
  static constexpr std::uint64_t kNumberMeta = std::uint64_t{0x02} << kTagShift;
  static constexpr std::uint64_t kInlineStringMeta = std::uint64_t{0x03} << kTagShift;
  static constexpr std::uint64_t kHeapStringMeta = (std::uint64_t{0x03} << kTagShift) | kHeapText | kOwnsBlock;
  static constexpr std::uint64_t kArrayMeta = (std::uint64_t{0x04} << kTagShift) | kOwnsBlock;
  static constexpr std::uint64_t kObjectMeta = (std::uint64_t{0x05} << kTagShift) | kOwnsBlock;
  static constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << kTagShift) - 1;
  static constexpr int kInlineLengthShift = 48;
  static constexpr std::size_t kMaxInline = 14;

  static constexpr std::uint64_t number_meta(JsonNumber::Kind kind) {
    return kNumberMeta | (std::uint64_t{static_cast<std::uint8_t>(kind)} << (kTagShift + 4));
  }
  static JsonNumber::Kind number_kind(std::uint64_t meta) {
    return static_cast<JsonNumber::Kind>((meta >> (kTagShift + 4)) & 0x3);
  }
  static std::uint64_t number_word(JsonNumber number) {
    switch (number.kind()) {
      case JsonNumber::Kind::UInt64:
        return number.uint64();
      case JsonNumber::Kind::Int64:
        return static_cast<std::uint64_t>(number.int64());
      case JsonNumber::Kind::Float64:
        break;
    }
    return std::bit_cast<std::uint64_t>(number.float64());
  }
  static JsonNumber number_of(std::uint64_t word, std::uint64_t meta) {
    switch (number_kind(meta)) {
      case JsonNumber::Kind::UInt64:
        return JsonNumber::from_uint64(word);
      case JsonNumber::Kind::Int64:
        return JsonNumber::from_int64(static_cast<std::int64_t>(word));
      case JsonNumber::Kind::Float64:
        break;
    }
    return JsonNumber::from_float64(std::bit_cast<double>(word));
  }

  // `self` is the handle, whose first bytes hold inline text.
  static std::string_view text_of(const void* self, std::uint64_t word, std::uint64_t meta) {
    if ((meta & kHeapText) != 0) return {reinterpret_cast<const char*>(word), meta & kLengthMask};
    return {static_cast<const char*>(self), (meta >> kInlineLengthShift) & 0xFF};
  }

  // The words of a short text from 16 readable bytes at `p`, of which the
  // first `size` (at most kMaxInline) are the text.
  static void inline_text_from_16(const char* p, std::size_t size, std::uint64_t plain, std::uint64_t& word,
                                  std::uint64_t& meta) {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, p, 8);
    std::memcpy(&high, p + 8, 8);
    // Shifts by 64 are undefined, hence the two-step masks.
    if (size < 8) {
      low &= ~(~std::uint64_t{0} << (8 * size));
      high = 0;
    } else {
      high &= ~(~std::uint64_t{0} << (8 * (size - 8)));
    }
    word = low;
    meta = high | (std::uint64_t{size} << kInlineLengthShift) | kInlineStringMeta | plain;
  }

  // kPlainText if [p, p + size) needs no escape, else 0.
  static std::uint64_t plain_bit(const char* p, std::size_t size) {
    return find_string_stop(p, p + size) == p + size ? kPlainText : 0;
  }

  // The words of a new text holding a copy of [p, p + size); `plain` is
  // plain_bit() of it.
  static void make_text(const char* p, std::size_t size, std::uint64_t plain, std::uint64_t& word,
                        std::uint64_t& meta) {
    if (size <= kMaxInline) {
      char bytes[16] = {};
      if (size != 0) std::memcpy(bytes, p, size);
      inline_text_from_16(bytes, size, plain, word, meta);
      return;
    }
    TRELLUNE_CHECK(size <= kLengthMask);
    void* block = allocate_block(size);
    std::memcpy(block, p, size);
    word = reinterpret_cast<std::uint64_t>(block);
    meta = size | kHeapStringMeta | plain;
  }

  static void release_text(std::uint64_t word, std::uint64_t meta) noexcept {
    release_block(reinterpret_cast<void*>(word), meta & kLengthMask);
  }

  static std::uint64_t word(const JsonValue& value) { return value.word_; }
  static std::uint64_t meta(const JsonValue& value) { return value.meta_; }
  static std::uint64_t word(const JsonString& text) { return text.word_; }
  static std::uint64_t meta(const JsonString& text) { return text.meta_; }

  // Sets the words of a value that owns nothing (its old payload, if any, is
  // someone else's now).
  static void set(JsonValue& value, std::uint64_t word, std::uint64_t meta) {
    value.word_ = word;
    value.meta_ = meta;
  }
  static void set(JsonString& text, std::uint64_t word, std::uint64_t meta) {
    text.word_ = word;
    text.meta_ = meta;
  }
  static void forget(JsonValue& value) { value.meta_ = kNullMeta; }
  static void forget(JsonString& text) { text.forget(); }

  static json_internal::ArrayBlock* block(const JsonArray& array) { return array.block_; }

  // Starts loading the heap block of a value that is about to be visited: a
  // tree larger than the cache is otherwise walked one miss at a time.
  static void prefetch_payload(const JsonValue& value) {
    if ((value.meta_ & kOwnsBlock) != 0) __builtin_prefetch(reinterpret_cast<const void*>(value.word_));
  }
  static json_internal::ObjectBlock* block(const JsonObject& object) { return object.block_; }
};

}  // namespace json_internal

struct json_internal::ArrayBlock {
  std::size_t size;
  std::size_t capacity;

  JsonValue* elements() { return reinterpret_cast<JsonValue*>(this + 1); }
  static std::size_t bytes(std::size_t capacity) { return sizeof(ArrayBlock) + capacity * sizeof(JsonValue); }

  // Room for `capacity` elements, of which the first `size` count as set.
  static ArrayBlock* allocate(std::size_t size, std::size_t capacity) {
    auto* block = static_cast<ArrayBlock*>(allocate_block(bytes(capacity)));
    block->size = size;
    block->capacity = capacity;
    return block;
  }
  // Gives the storage back; what the elements own is the caller's.
  static void release(ArrayBlock* block) { release_block(block, bytes(block->capacity)); }
};

struct json_internal::ObjectBlock {
  std::size_t size;
  std::size_t capacity;

  JsonMember* members() { return reinterpret_cast<JsonMember*>(this + 1); }
  static std::size_t bytes(std::size_t capacity) { return sizeof(ObjectBlock) + capacity * sizeof(JsonMember); }

  // Room for `capacity` members, of which the first `size` count as set.
  static ObjectBlock* allocate(std::size_t size, std::size_t capacity) {
    auto* block = static_cast<ObjectBlock*>(allocate_block(bytes(capacity)));
    block->size = size;
    block->capacity = capacity;
    return block;
  }
  // Gives the storage back; what the members own is the caller's.
  static void release(ObjectBlock* block) { release_block(block, bytes(block->capacity)); }
};

// ---------------------------------------------------------------------------
// JsonString

inline JsonString::JsonString(std::string_view text) {
  json_internal::TreeAccess::make_text(text.data(), text.size(),
                                       json_internal::TreeAccess::plain_bit(text.data(), text.size()), word_, meta_);
}

inline JsonString& JsonString::operator=(JsonString&& other) noexcept {
  const std::uint64_t word = other.word_;
  const std::uint64_t meta = other.meta_;
  other.forget();
  if ((meta_ & json_internal::TreeAccess::kOwnsBlock) != 0) json_internal::TreeAccess::release_text(word_, meta_);
  word_ = word;
  meta_ = meta;
  return *this;
}

inline JsonString::~JsonString() {
  if ((meta_ & json_internal::TreeAccess::kOwnsBlock) != 0) json_internal::TreeAccess::release_text(word_, meta_);
}

inline std::string_view JsonString::view() const { return json_internal::TreeAccess::text_of(this, word_, meta_); }

// ---------------------------------------------------------------------------
// JsonArray and JsonObject

inline JsonArray& JsonArray::operator=(JsonArray&& other) noexcept {
  JsonArray taken(std::move(other));
  std::swap(block_, taken.block_);
  return *this;
}

inline std::size_t JsonArray::size() const { return block_ == nullptr ? 0 : block_->size; }
inline JsonValue* JsonArray::begin() { return block_ == nullptr ? nullptr : block_->elements(); }
inline JsonValue* JsonArray::end() { return block_ == nullptr ? nullptr : block_->elements() + block_->size; }
inline const JsonValue* JsonArray::begin() const { return block_ == nullptr ? nullptr : block_->elements(); }
inline const JsonValue* JsonArray::end() const {
  return block_ == nullptr ? nullptr : block_->elements() + block_->size;
}

inline JsonValue& JsonArray::operator[](std::size_t index) {
  TRELLUNE_CHECK(index < size());
  return block_->elements()[index];
}

inline const JsonValue& JsonArray::operator[](std::size_t index) const {
  TRELLUNE_CHECK(index < size());
  return block_->elements()[index];
}

inline void JsonArray::push_back(JsonValue&& value) {
  if (block_ == nullptr || block_->size == block_->capacity) reserve(block_ == nullptr ? 4 : 2 * block_->capacity);
  new (block_->elements() + block_->size) JsonValue(std::move(value));
  ++block_->size;
}

inline JsonObject& JsonObject::operator=(JsonObject&& other) noexcept {
  JsonObject taken(std::move(other));
  std::swap(block_, taken.block_);
  return *this;
}

inline std::size_t JsonObject::size() const { return block_ == nullptr ? 0 : block_->size; }

inline std::span<const JsonMember> JsonObject::members() const {
  if (block_ == nullptr) return {};
  return {block_->members(), block_->size};
}

// ---------------------------------------------------------------------------
// JsonValue

inline JsonValue::JsonValue(JsonNumber value) noexcept
    : word_(json_internal::TreeAccess::number_word(value)),
      meta_(json_internal::TreeAccess::number_meta(value.kind())) {}

inline JsonValue::JsonValue(JsonString value) noexcept
    : word_(json_internal::TreeAccess::word(value)), meta_(json_internal::TreeAccess::meta(value)) {
  json_internal::TreeAccess::forget(value);
}

inline JsonValue::JsonValue(std::string_view value) : word_(0) {
  json_internal::TreeAccess::make_text(value.data(), value.size(),
                                       json_internal::TreeAccess::plain_bit(value.data(), value.size()), word_, meta_);
}

inline JsonValue::JsonValue(JsonArray value) noexcept
    : array_(std::move(value)), meta_(json_internal::TreeAccess::kArrayMeta) {}

inline JsonValue::JsonValue(JsonObject value) noexcept
    : object_(std::move(value)), meta_(json_internal::TreeAccess::kObjectMeta) {}

inline JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  // `other` may live inside this value's own payload: take it first.
  const std::uint64_t word = other.word_;
  const std::uint64_t meta = other.meta_;
  other.meta_ = json_internal::TreeAccess::kNullMeta;
  if (owns_block()) release();
  word_ = word;
  meta_ = meta;
  return *this;
}

inline bool JsonValue::as_bool() const {
  TRELLUNE_CHECK(kind() == Kind::Bool);
  return word_ != 0;
}

inline JsonNumber JsonValue::as_number() const {
  TRELLUNE_CHECK(kind() == Kind::Number);
  return json_internal::TreeAccess::number_of(word_, meta_);
}

inline std::string_view JsonValue::as_string() const {
  TRELLUNE_CHECK(kind() == Kind::String);
  return json_internal::TreeAccess::text_of(this, word_, meta_);
}

inline const JsonArray& JsonValue::as_array() const {
  TRELLUNE_CHECK(kind() == Kind::Array);
  return array_;
}

inline JsonArray& JsonValue::as_array() {
  TRELLUNE_CHECK(kind() == Kind::Array);
  return array_;
}

inline const JsonObject& JsonValue::as_object() const {
  TRELLUNE_CHECK(kind() == Kind::Object);
  return object_;
}

inline JsonObject& JsonValue::as_object() {
  TRELLUNE_CHECK(kind() == Kind::Object);
  return object_;
}

inline JsonValue& JsonParseResult::value() {
  TRELLUNE_CHECK(ok_);
  return value_;
}

inline JsonParseError JsonParseResult::error() const {
  TRELLUNE_CHECK(!ok_);
  return error_;
}

}  // namespace trellune
