// The filter as data, for the tests: the program confine_process installs
// and the list it was built from, so that a test can run the program in an
// interpreter and hold the list against its own rows and the manual page.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace trellune::sandbox_internal {

// One row of the allowed calls, as a reader of the list sees it.
struct ListedCall {
  std::string_view name;
  std::uint32_t number = 0;
  bool checks_arguments = false;
  bool answers_no_such_call = false;  // ENOSYS, rather than allowed
};

// Every row, in the list's order; empty where the build has no filter.
std::vector<ListedCall> listed_calls();

// The program confine_process installs for these descriptors and this
// process, ready to run; empty where the build has no filter.
std::vector<sock_filter> filter_program(const KeptDescriptors& descriptors, Refusal refusal);

// The audit tag of the architecture the filter speaks for.
std::uint32_t own_architecture();

}  // namespace trellune::sandbox_internal
