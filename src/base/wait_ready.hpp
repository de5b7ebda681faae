// Waiting out EAGAIN on a descriptor the program uses as if it blocked.
#pragma once

#include <poll.h>

#include <cerrno>

namespace trellune {

// Blocks the calling thread until `fd` is ready for `events` (POLLIN or
// POLLOUT). A client may hand the program a standard stream whose open file
// description, shared with the client, is non-blocking: a read or write that
// gives EAGAIN waits here and is then repeated, as a blocking call would have
// been. Errors and hang-ups end the wait too, and the repeated call reports
// them. An interrupted poll has changed nothing and is repeated; false, with
// errno set, only when poll itself fails.
inline bool wait_until_ready(int fd, short events) {
  pollfd entry{fd, events, 0};
  while (::poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace trellune
