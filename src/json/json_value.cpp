#include "json/json_value.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace trellune {
namespace {

bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

bool member_less(const JsonMember& a, const JsonMember& b) { return json_key_less(a.key, b.key); }

// Up to this many members an insertion sort beats std::stable_sort, which
// allocates a merge buffer on every call.
constexpr std::size_t kInsertionSortLimit = 24;

// Stable, so that equal keys stay in input order for the merge below.
void insertion_sort(std::vector<JsonMember>& members, std::size_t sorted_prefix) {
  for (std::size_t i = sorted_prefix; i < members.size(); ++i) {
    if (!member_less(members[i], members[i - 1])) continue;
    JsonMember moving = std::move(members[i]);
    std::size_t j = i;
    do {
      members[j] = std::move(members[j - 1]);
      --j;
    } while (j > 0 && member_less(moving, members[j - 1]));
    members[j] = std::move(moving);
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

JsonObject JsonObject::from_members(std::vector<JsonMember> members) {
  const std::size_t n = members.size();
  std::size_t ascending = 1;
  while (ascending < n && member_less(members[ascending - 1], members[ascending])) ++ascending;
  if (ascending < n) {
    if (n <= kInsertionSortLimit) {
      insertion_sort(members, ascending);
    } else {
      std::stable_sort(members.begin(), members.end(), member_less);
    }
    // Equal keys are now adjacent, in input order: the first keeps its key
    // and takes the value of the last.
    std::size_t kept = 0;
    for (std::size_t i = 1; i < n; ++i) {
      if (same_key(members[kept].key, members[i].key)) {
        members[kept].value = std::move(members[i].value);
      } else if (++kept != i) {
        members[kept] = std::move(members[i]);
      }
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept + 1), members.end());
  }
  JsonObject object;
  object.members_ = std::move(members);
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
  members_.insert(place, JsonMember{std::move(key), std::move(value)});
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
