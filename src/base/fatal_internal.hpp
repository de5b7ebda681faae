// Pieces of the fatal report, visible for tests.
#pragma once

#include <cstddef>
#include <string_view>

namespace trellune {

// The place a report names, relative to the repository: everything up to the
// last "/src/" or "/tests/" is dropped, so "/home/me/trellune/src/base/
// fatal.cpp" shows as "src/base/fatal.cpp". Other paths are kept whole.
std::string_view repository_relative_path(std::string_view file);

// Longer names are cut, at a character boundary, to this many bytes.
inline constexpr std::size_t kThreadNameCapacity = 63;

}  // namespace trellune
