// Process-level preparation before the event loop starts.
#pragma once

namespace trellune {

// Asks the kernel to kill the process when the thread that started it ends,
// so that the bridge never outlives its client, whatever it does later to its
// signals or however long its standard input stays open: nothing can undo
// this once the sandbox is in force. A parent already gone by the time the
// request is made ends the process at once. One gone before the process
// first asked for its parent's id can't be told from the reaper that took it
// over.
void end_with_parent();

// Closes every descriptor above 2: whatever the client left open is no
// business of the bridge's. close_range where the kernel has it (5.9),
// else each descriptor /proc lists, else each number below the limit of
// open files.
void close_inherited_descriptors();

// The fallback of close_inherited_descriptors, for kernels before 5.9.
void close_descriptors_one_by_one();

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
