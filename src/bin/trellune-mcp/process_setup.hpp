// Process-level preparation and the writes to standard error that the exit
// path makes.
#pragma once

#include <string_view>

namespace trellune {

// Makes sure descriptors 0, 1 and 2 are open: a missing one is reopened on
// /dev/null, so no socket can take its number and a missing stream behaves
// like /dev/null. Aborts silently if that cannot be done.
void ensure_standard_descriptors();

// A write to a pipe whose reader has gone must fail with EPIPE (and end the
// bridge with an error) instead of killing the process.
void ignore_broken_pipe_signal();

// Writes all of `text` to descriptor 2, repeating on EINTR. A closed
// descriptor (EBADF) counts as written. Returns false on any other failure.
bool write_all_to_stderr(std::string_view text);

}  // namespace trellune
