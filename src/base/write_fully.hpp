// Writing a whole byte range to a descriptor as blocking code does.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

#include "base/wait_ready.hpp"

namespace trellune {

struct WriteOutcome {
  std::size_t written = 0;  // the bytes that left, all of them on a closed descriptor
  int error = 0;            // errno of the write that failed, else 0
  bool wrote_zero = false;  // a write took nothing, so no later one would make progress
  bool ok() const { return error == 0 && !wrote_zero; }
};

// Writes `data` to `fd` until all of it is out or a write fails. EINTR means
// nothing was written, so the call is safe to repeat; a non-blocking
// descriptor that is full (EAGAIN) is waited on and written again; a closed
// descriptor (EBADF) swallows everything, as /dev/null would. Allocates
// nothing, so a report of exhausted memory can use it.
inline WriteOutcome write_fully(int fd, std::string_view data) {
  WriteOutcome outcome;
  while (outcome.written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + outcome.written, data.size() - outcome.written);
    if (n > 0) {
      outcome.written += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      outcome.wrote_zero = true;
      return outcome;
    }
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(fd, POLLOUT)) continue;
    if (errno == EBADF) {
      outcome.written = data.size();
      return outcome;
    }
    outcome.error = errno;
    return outcome;
  }
  return outcome;
}

}  // namespace trellune
