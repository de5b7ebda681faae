#include "json/json_value.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace trellune {
namespace {

bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// The first eight bytes of a key, big-endian and zero-padded: comparing two
// of these as integers orders the keys as json_key_less does, unless they are
// equal, when the whole keys must be compared.
std::uint64_t key_prefix(std::string_view key) {
  std::uint64_t word = 0;
  if (key.size() >= sizeof word) {
    std::memcpy(&word, key.data(), sizeof word);
    return __builtin_bswap64(word);
  }
  for (std::size_t i = 0; i < key.size(); ++i) {
    word |= std::uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * i);
  }
  return word;
}

// Sorting 16-byte entries instead of the members themselves keeps each step
// cheap; the members move once, straight into their final vector.
struct SortEntry {
  std::uint64_t prefix;
  std::size_t index;
};

// Up to this many members an insertion sort on the stack beats std::sort.
constexpr std::size_t kSmallObject = 32;

class EntryLess {
 public:
  explicit EntryLess(std::span<const JsonMember> members) : members_(members) {}

  // Negative, zero or positive as the key of `a` sorts before, equals or
  // sorts after that of `b`.
  int compare_keys(const SortEntry& a, const SortEntry& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    const std::string& x = members_[a.index].key;
    const std::string& y = members_[b.index].key;
    const std::size_t common = std::min(x.size(), y.size());
    const int order = common == 0 ? 0 : std::memcmp(x.data(), y.data(), common);
    if (order != 0) return order;
    return (x.size() > y.size()) - (x.size() < y.size());
  }

  // Equal keys fall back on input order, so the sort is stable.
  bool operator()(const SortEntry& a, const SortEntry& b) const {
    const int order = compare_keys(a, b);
    return order < 0 || (order == 0 && a.index < b.index);
  }

 private:
  std::span<const JsonMember> members_;
};

void insertion_sort(std::span<SortEntry> entries, std::size_t sorted_prefix, const EntryLess& less) {
  for (std::size_t i = sorted_prefix; i < entries.size(); ++i) {
    const SortEntry moving = entries[i];
    std::size_t j = i;
    for (; j > 0 && less(moving, entries[j - 1]); --j) entries[j] = entries[j - 1];
    entries[j] = moving;
  }
}

constexpr auto kKindNames = std::to_array<std::string_view>({
#define TRELLUNE_JSON_KIND_NAME(name, description) #name,
    TRELLUNE_JSON_PARSE_ERROR_KINDS(TRELLUNE_JSON_KIND_NAME)
#undef TRELLUNE_JSON_KIND_NAME
});

constexpr auto kKindDescriptions = std::to_array<std::string_view>({
#define TRELLUNE_JSON_KIND_DESCRIPTION(name, description) description,
    TRELLUNE_JSON_PARSE_ERROR_KINDS(TRELLUNE_JSON_KIND_DESCRIPTION)
#undef TRELLUNE_JSON_KIND_DESCRIPTION
});

static_assert(kKindNames.size() == static_cast<std::size_t>(JsonParseErrorKind::NestingTooDeep) + 1);

}  // namespace

JsonObject JsonObject::from_members(std::span<JsonMember> members, std::size_t spare) {
  JsonObject object;
  const std::size_t n = members.size();
  if (n + spare == 0) return object;
  object.members_.reserve(n + spare);
  std::array<SortEntry, kSmallObject> small_entries;
  std::vector<SortEntry> large_entries;
  std::span<SortEntry> entries;
  if (n <= kSmallObject) {
    entries = std::span(small_entries).first(n);
  } else {
    large_entries.resize(n);
    entries = large_entries;
  }
  const EntryLess less(members);
  // Members that already come in strictly ascending order (no repeats) need
  // no sort: common for texts written by a sorting writer.
  std::size_t ascending = n;
  for (std::size_t i = 0; i < n; ++i) {
    entries[i] = SortEntry{key_prefix(members[i].key), i};
    if (ascending == n && i > 0 && less.compare_keys(entries[i - 1], entries[i]) >= 0) ascending = i;
  }
  if (ascending == n) {
    for (JsonMember& member : members) object.members_.push_back(std::move(member));
    return object;
  }
  if (n <= kSmallObject) {
    insertion_sort(entries, ascending, less);
  } else {
    std::sort(entries.begin(), entries.end(), less);
  }
  // Equal keys are now adjacent, in input order: the first keeps its key
  // and place, and takes the value of the last.
  for (std::size_t i = 0; i < n;) {
    JsonMember& first = members[entries[i].index];
    std::size_t last = i;
    while (last + 1 < n && less.compare_keys(entries[last + 1], entries[i]) == 0) ++last;
    object.members_.emplace_back(std::move(first.key), std::move(members[entries[last].index].value));
    i = last + 1;
  }
  return object;
}

std::optional<JsonValue> JsonObject::set_member(std::string key, JsonValue value) {
  const auto place = std::lower_bound(members_.begin(), members_.end(), key,
                                      [](const JsonMember& m, const std::string& k) { return json_key_less(m.key, k); });
  if (place != members_.end() && same_key(place->key, key)) {
    std::optional<JsonValue> old(std::move(place->value));
    place->value = std::move(value);
    return old;
  }
  members_.emplace(place, std::move(key), std::move(value));
  return std::nullopt;
}

const JsonValue* JsonObject::find(std::string_view key) const {
  const auto place = std::lower_bound(members_.begin(), members_.end(), key,
                                      [](const JsonMember& m, std::string_view k) { return json_key_less(m.key, k); });
  if (place != members_.end() && same_key(place->key, key)) return &place->value;
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

std::string_view json_parse_error_kind_description(JsonParseErrorKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  TRELLUNE_CHECK(index < kKindDescriptions.size());
  return kKindDescriptions[index];
}

}  // namespace trellune
