#include "json/json_value.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "json/internal/tree_build.hpp"

namespace trellune {

using json_internal::Slot;
using json_internal::TreeAccess;

namespace {

bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

std::string_view text_of(const Slot& slot) { return TreeAccess::text_of(&slot, slot.word, slot.meta); }

// The first eight bytes of a key, big-endian and zero-padded: comparing two
// of these as integers orders the keys as json_key_less does, unless they are
// equal, when the whole keys must be compared. Inline text is zero-padded
// already; heap text is longer than eight bytes.
std::uint64_t key_prefix(const Slot& key) {
  if ((key.meta & TreeAccess::kHeapText) == 0) return __builtin_bswap64(key.word);
  std::uint64_t word;
  std::memcpy(&word, reinterpret_cast<const char*>(key.word), sizeof word);
  return __builtin_bswap64(word);
}

// Bytes 8 to 15 of a key the same way, for keys whose first eight are equal.
std::uint64_t key_second_word(const Slot& key) {
  if ((key.meta & TreeAccess::kHeapText) == 0) {
    return __builtin_bswap64(key.meta & ((std::uint64_t{1} << TreeAccess::kInlineLengthShift) - 1));
  }
  // Heap text has at least 15 bytes: read bytes 7 to 14 and drop byte 7.
  const auto* text = reinterpret_cast<const char*>(key.word);
  std::uint64_t word;
  if ((key.meta & TreeAccess::kLengthMask) >= 16) {
    std::memcpy(&word, text + 8, sizeof word);
    return __builtin_bswap64(word);
  }
  std::memcpy(&word, text + 7, sizeof word);
  return __builtin_bswap64(word) << 8;
}

// Sorting 16-byte entries instead of the members themselves keeps each step
// cheap; the members move once, straight into their block.
struct SortEntry {
  std::uint64_t prefix;
  std::size_t index;
};

// Up to this many members an insertion sort on the stack beats std::sort.
constexpr std::size_t kSmallObject = 32;

// Any correct comparison sort compares each pair of neighbours in its final
// order, so equal keys, which end up adjacent, always meet in some
// comparison: the ordering notes it in `*repeated`, and a sort that saw no
// tie needs no pass to merge repeats. A tie that ends the ascending prefix
// is not noted there: the sort compares those neighbours again.
class EntryLess {
 public:
  EntryLess(const Slot* pairs, bool* repeated) : pairs_(pairs), repeated_(repeated) {}

  // Negative, zero or positive as the key of `a` sorts before, equals or
  // sorts after that of `b`.
  int compare_keys(const SortEntry& a, const SortEntry& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    const Slot& key_a = pairs_[2 * a.index];
    const Slot& key_b = pairs_[2 * b.index];
    // Zero padding sorts below every byte, so the padded words order keys
    // until they are equal; then the shorter key is a prefix of the other.
    const std::uint64_t second_a = key_second_word(key_a);
    const std::uint64_t second_b = key_second_word(key_b);
    if (second_a != second_b) return second_a < second_b ? -1 : 1;
    const std::string_view x = text_of(key_a);
    const std::string_view y = text_of(key_b);
    const std::size_t common = std::min(x.size(), y.size());
    const int order = common <= 16 ? 0 : std::memcmp(x.data() + 16, y.data() + 16, common - 16);
    if (order != 0) return order;
    return (x.size() > y.size()) - (x.size() < y.size());
  }

  // Equal keys fall back on input order, so the sort is stable.
  bool operator()(const SortEntry& a, const SortEntry& b) const {
    const int order = compare_keys(a, b);
    if (order == 0) [[unlikely]] {
      *repeated_ = true;
      return a.index < b.index;
    }
    return order < 0;
  }

 private:
  const Slot* pairs_;
  bool* repeated_;
};

void insertion_sort(SortEntry* entries, std::size_t count, std::size_t sorted_prefix, const EntryLess& less) {
  for (std::size_t i = sorted_prefix; i < count; ++i) {
    const SortEntry moving = entries[i];
    std::size_t j = i;
    for (; j > 0 && less(moving, entries[j - 1]); --j) entries[j] = entries[j - 1];
    entries[j] = moving;
  }
}

// Copies handle words into the storage of a block's elements or members: a
// handle's bytes are all there is to it (see TreeAccess).
void copy_handles(void* to, const void* from, std::size_t bytes) { std::memcpy(to, from, bytes); }

void release_array_block(json_internal::ArrayBlock* block) noexcept {
  JsonValue* elements = block->elements();
  for (std::size_t i = 0; i < block->size; ++i) {
    if (i + 1 < block->size) TreeAccess::prefetch_payload(elements[i + 1]);
    const std::uint64_t meta = TreeAccess::meta(elements[i]);
    if ((meta & TreeAccess::kOwnsBlock) != 0) json_internal::release_words(TreeAccess::word(elements[i]), meta);
  }
  json_internal::ArrayBlock::release(block);
}

void release_object_block(json_internal::ObjectBlock* block) noexcept {
  JsonMember* members = block->members();
  for (std::size_t i = 0; i < block->size; ++i) {
    if (i + 1 < block->size) TreeAccess::prefetch_payload(members[i + 1].value);
    const std::uint64_t key_meta = TreeAccess::meta(members[i].key);
    if ((key_meta & TreeAccess::kOwnsBlock) != 0) TreeAccess::release_text(TreeAccess::word(members[i].key), key_meta);
    const std::uint64_t meta = TreeAccess::meta(members[i].value);
    if ((meta & TreeAccess::kOwnsBlock) != 0) json_internal::release_words(TreeAccess::word(members[i].value), meta);
  }
  json_internal::ObjectBlock::release(block);
}

constexpr auto kKindNames = std::to_array<std::string_view>({
#define TRELLUNE_JSON_KIND_NAME(name, description) #name,
    TRELLUNE_JSON_PARSE_ERROR_KINDS(TRELLUNE_JSON_KIND_NAME)
#undef TRELLUNE_JSON_KIND_NAME
});

static_assert(kKindNames.size() == static_cast<std::size_t>(JsonParseErrorKind::NestingTooDeep) + 1);

}  // namespace

namespace json_internal {

void release_words(std::uint64_t word, std::uint64_t meta) noexcept {
  switch (static_cast<JsonValue::Kind>((meta >> TreeAccess::kTagShift) & 0x7)) {
    case JsonValue::Kind::String:
      TreeAccess::release_text(word, meta);
      return;
    case JsonValue::Kind::Array:
      if (word != 0) release_array_block(reinterpret_cast<json_internal::ArrayBlock*>(word));
      return;
    case JsonValue::Kind::Object:
      if (word != 0) release_object_block(reinterpret_cast<json_internal::ObjectBlock*>(word));
      return;
    case JsonValue::Kind::Null:
    case JsonValue::Kind::Bool:
    case JsonValue::Kind::Number:
      return;
  }
}

Slot make_array(const Slot* elements, std::size_t count) {
  if (count == 0) return {0, TreeAccess::kArrayMeta};
  auto* block = json_internal::ArrayBlock::allocate(count, count);
  copy_handles(block->elements(), elements, count * sizeof(Slot));
  return {reinterpret_cast<std::uint64_t>(block), TreeAccess::kArrayMeta};
}

Slot make_object(const Slot* pairs, std::size_t count, std::size_t spare) {
  if (count + spare == 0) return {0, TreeAccess::kObjectMeta};
  std::array<SortEntry, kSmallObject> small_entries;
  std::vector<SortEntry> large_entries;
  SortEntry* entries = small_entries.data();
  if (count > kSmallObject) {
    large_entries.resize(count);
    entries = large_entries.data();
  }
  bool repeated = false;
  const EntryLess less(pairs, &repeated);
  // Members that already come in strictly ascending order (no repeats) need
  // no sort: common for texts written by a sorting writer.
  std::size_t ascending = count;
  for (std::size_t i = 0; i < count; ++i) {
    entries[i] = SortEntry{key_prefix(pairs[2 * i]), i};
    if (ascending == count && i > 0 && less.compare_keys(entries[i - 1], entries[i]) >= 0) ascending = i;
  }
  if (ascending == count) {
    auto* block = json_internal::ObjectBlock::allocate(count, count + spare);
    copy_handles(block->members(), pairs, count * 2 * sizeof(Slot));
    return {reinterpret_cast<std::uint64_t>(block), TreeAccess::kObjectMeta};
  }
  if (count <= kSmallObject) {
    insertion_sort(entries, count, ascending, less);
  } else {
    std::sort(entries, entries + count, less);
  }
  // Sized for all members: repeated keys are rare, and counting them first
  // would cost another pass of comparisons.
  auto* block = json_internal::ObjectBlock::allocate(0, count + spare);
  auto* out = reinterpret_cast<Slot*>(block->members());
  if (!repeated) {
    for (std::size_t i = 0; i < count; ++i) {
      *out++ = pairs[2 * entries[i].index];
      *out++ = pairs[2 * entries[i].index + 1];
    }
    block->size = count;
    return {reinterpret_cast<std::uint64_t>(block), TreeAccess::kObjectMeta};
  }
  // Equal keys are adjacent now, in input order: the first keeps its key
  // and place, and takes the value of the last.
  for (std::size_t i = 0; i < count;) {
    std::size_t last = i;
    while (last + 1 < count && less.compare_keys(entries[last + 1], entries[i]) == 0) ++last;
    *out++ = pairs[2 * entries[i].index];
    *out++ = pairs[2 * entries[last].index + 1];
    for (std::size_t j = i; j < last; ++j) {
      const Slot& key = pairs[2 * entries[j + 1].index];
      const Slot& value = pairs[2 * entries[j].index + 1];
      if ((key.meta & TreeAccess::kOwnsBlock) != 0) release_words(key.word, key.meta);
      if ((value.meta & TreeAccess::kOwnsBlock) != 0) release_words(value.word, value.meta);
    }
    i = last + 1;
  }
  block->size = static_cast<std::size_t>(out - reinterpret_cast<Slot*>(block->members())) / 2;
  return {reinterpret_cast<std::uint64_t>(block), TreeAccess::kObjectMeta};
}

}  // namespace json_internal

void JsonValue::release() noexcept { json_internal::release_words(word_, meta_); }

JsonArray::~JsonArray() {
  if (block_ != nullptr) release_array_block(block_);
}

void JsonArray::reserve(std::size_t capacity) {
  const std::size_t size = this->size();
  if (capacity <= (block_ == nullptr ? 0 : block_->capacity)) return;
  auto* block = json_internal::ArrayBlock::allocate(size, capacity);
  if (block_ != nullptr) {
    copy_handles(block->elements(), block_->elements(), size * sizeof(JsonValue));
    json_internal::ArrayBlock::release(block_);
  }
  block_ = block;
}

JsonObject::~JsonObject() {
  if (block_ != nullptr) release_object_block(block_);
}

std::optional<JsonValue> JsonObject::set_member(std::string_view key, JsonValue value) {
  const std::size_t size = this->size();
  JsonMember* members = block_ == nullptr ? nullptr : block_->members();
  const JsonMember* place = std::lower_bound(
      members, members + size, key, [](const JsonMember& m, std::string_view k) { return json_key_less(m.key, k); });
  const auto index = static_cast<std::size_t>(place - members);
  if (index < size && same_key(members[index].key, key)) {
    std::optional<JsonValue> old(std::move(members[index].value));
    members[index].value = std::move(value);
    return old;
  }
  if (block_ == nullptr || size == block_->capacity) {
    const std::size_t capacity = std::max<std::size_t>(4, 2 * size);
    auto* block = json_internal::ObjectBlock::allocate(size, capacity);
    if (block_ != nullptr) {
      copy_handles(block->members(), block_->members(), size * sizeof(JsonMember));
      json_internal::ObjectBlock::release(block_);
    }
    block_ = block;
    members = block->members();
  }
  std::memmove(static_cast<void*>(members + index + 1), members + index, (size - index) * sizeof(JsonMember));
  // The slot's old bytes were moved up: build the member over them.
  new (members + index) JsonMember(JsonString(key), std::move(value));
  ++block_->size;
  return std::nullopt;
}

const JsonValue* JsonObject::find(std::string_view key) const {
  const std::size_t size = this->size();
  const JsonMember* members = block_ == nullptr ? nullptr : block_->members();
  const JsonMember* place = std::lower_bound(
      members, members + size, key, [](const JsonMember& m, std::string_view k) { return json_key_less(m.key, k); });
  if (place != members + size && same_key(place->key, key)) return &place->value;
  return nullptr;
}

JsonValue* JsonObject::find(std::string_view key) {
  return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

std::string_view json_parse_error_kind_name(JsonParseErrorKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  TRELLUNE_CHECK(index < kKindNames.size());
  return kKindNames[index];
}

}  // namespace trellune
