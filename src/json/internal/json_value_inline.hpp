// Inline members of the value tree, kept apart so that json_value.hpp reads
// as the contract. They need JsonMember complete, hence after its definition.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "io_error/fatal.hpp"

namespace trellune {

inline bool json_key_less(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  // memcmp compares as unsigned char, which is the order wanted.
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  return order < 0 || (order == 0 && a.size() < b.size());
}

inline JsonObject::~JsonObject() = default;

inline std::size_t JsonObject::size() const { return members_.size(); }
inline bool JsonObject::empty() const { return members_.empty(); }
inline std::span<const JsonMember> JsonObject::members() const { return members_; }

inline JsonValue::JsonValue(std::string value) noexcept : kind_(Kind::String) {
  new (&string_) std::string(std::move(value));
}

inline JsonValue::JsonValue(std::string_view value) : kind_(Kind::String) { new (&string_) std::string(value); }

inline JsonValue::JsonValue(JsonArray value) noexcept : kind_(Kind::Array) {
  new (&array_) JsonArray(std::move(value));
}

inline JsonValue::JsonValue(JsonObject value) noexcept : kind_(Kind::Object) {
  new (&object_) JsonObject(std::move(value));
}

inline JsonValue::JsonValue(JsonValue&& other) noexcept { move_from(other); }

inline JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this == &other) return *this;
  if (kind_ == Kind::Null || kind_ == Kind::Bool || kind_ == Kind::Number) {
    move_from(other);
  } else {
    // `other` may live inside this value's own payload: detach it first.
    JsonValue detached(std::move(other));
    destroy();
    move_from(detached);
  }
  return *this;
}

inline JsonValue::~JsonValue() { destroy(); }

inline void JsonValue::destroy() noexcept {
  switch (kind_) {
    case Kind::Null:
    case Kind::Bool:
    case Kind::Number:
      break;
    case Kind::String:
      string_.~basic_string();
      break;
    case Kind::Array:
      array_.~JsonArray();
      break;
    case Kind::Object:
      object_.~JsonObject();
      break;
  }
  kind_ = Kind::Null;
}

// Leaves `other` a null value; `*this` must hold no payload.
inline void JsonValue::move_from(JsonValue& other) noexcept {
  kind_ = other.kind_;
  switch (kind_) {
    case Kind::Null:
      break;
    case Kind::Bool:
      bool_ = other.bool_;
      break;
    case Kind::Number:
      new (&number_) JsonNumber(other.number_);
      break;
    case Kind::String:
      new (&string_) std::string(std::move(other.string_));
      break;
    case Kind::Array:
      new (&array_) JsonArray(std::move(other.array_));
      break;
    case Kind::Object:
      new (&object_) JsonObject(std::move(other.object_));
      break;
  }
  // A moved-from string or vector owns no memory, so its destructor may be
  // skipped.
  other.kind_ = Kind::Null;
}

inline bool JsonValue::as_bool() const {
  TRELLUNE_CHECK(kind_ == Kind::Bool);
  return bool_;
}

inline JsonNumber JsonValue::as_number() const {
  TRELLUNE_CHECK(kind_ == Kind::Number);
  return number_;
}

inline const std::string& JsonValue::as_string() const {
  TRELLUNE_CHECK(kind_ == Kind::String);
  return string_;
}

inline const JsonArray& JsonValue::as_array() const {
  TRELLUNE_CHECK(kind_ == Kind::Array);
  return array_;
}

inline JsonArray& JsonValue::as_array() {
  TRELLUNE_CHECK(kind_ == Kind::Array);
  return array_;
}

inline const JsonObject& JsonValue::as_object() const {
  TRELLUNE_CHECK(kind_ == Kind::Object);
  return object_;
}

inline JsonObject& JsonValue::as_object() {
  TRELLUNE_CHECK(kind_ == Kind::Object);
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
