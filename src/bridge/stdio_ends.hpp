// Standard input and standard output as a pair of line-channel ends: every
// read(0), write(1) and flush runs as a job on a worker thread of the event
// loop, standard output's in batches (stdout_buffer.hpp holds its line
// buffer).
#pragma once

#include <memory>

#include "bridge/line_channel.hpp"
#include "event_loop/event_loop.hpp"

namespace trellune {

// Once the input's reader has handed out all it read, a successful flush of
// the output goes straight on to the input's next read, in the same job. For
// a caller that reads the next line as soon as a flush succeeds, as the relay
// does; the input must not be read while such a flush is in flight.
struct StdioEnds {
  std::unique_ptr<ReadEnd> input;
  std::unique_ptr<WriteEnd> output;
};
StdioEnds make_stdio_ends(EventLoop& loop);

// At process exit: writes out what the process standard output still holds
// (failures ignored) and leaves it unbuffered, unless another thread holds it.
void flush_process_stdout_at_exit();

}  // namespace trellune
