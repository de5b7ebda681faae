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

// A message of a few megabytes passes through buffers of its own size (the
// line, its parsed tree, its re-serialization). By default glibc maps such a
// buffer afresh and unmaps it when it is freed, so every large message would
// pay again for faulting in and clearing its pages, a tenth of the time of a
// 1 MB request. Buffers up to a few megabytes come from the heap instead,
// which keeps what is freed for the next message (and returns a large freed
// top).
void keep_large_buffers_in_the_heap();

}  // namespace trellune
