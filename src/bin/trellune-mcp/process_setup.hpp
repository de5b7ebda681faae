// Process-level preparation before the event loop starts.
#pragma once

namespace trellune {

// Makes sure descriptors 0, 1 and 2 are open: a missing one is reopened on
// /dev/null, so no socket can take its number and a missing stream behaves
// like /dev/null. Aborts silently if that cannot be done.
void ensure_standard_descriptors();

// A write to a pipe whose reader has gone must fail with EPIPE (and end the
// bridge with an error) instead of killing the process.
void ignore_broken_pipe_signal();

}  // namespace trellune
