// Building and destroying trees from raw handle words, for the parser and the
// tree's own code. Defined in json/json_value.cpp, with the rest of the
// tree's code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json_value.hpp"

namespace trellune::json_internal {

// The two words of a JsonValue or JsonString handle, as plain data. Slots
// own what their words point to; copying one moves that ownership.
struct Slot {
  std::uint64_t word;
  std::uint64_t meta;
};

// Destroys the payload of a value or text given by its words.
void release_words(std::uint64_t word, std::uint64_t meta) noexcept;

// An array value made of `count` element slots, which own nothing after.
Slot make_array(const Slot* elements, std::size_t count);

// An object value made of `count` key and value slot pairs (key first), which
// own nothing after: members in key order, the last value of a repeated key
// kept, room for `spare` members more.
Slot make_object(const Slot* pairs, std::size_t count, std::size_t spare);

}  // namespace trellune::json_internal
