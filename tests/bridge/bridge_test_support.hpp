// Shared set-up of the bridge unit tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "bridge/line_channel.hpp"
#include "bridge/local_connection.hpp"
#include "bridge/socket_ends.hpp"
#include "event_loop/event_loop.hpp"

namespace trellune::testing {

inline std::unique_ptr<EventLoop> make_loop() {
  IoResult<std::unique_ptr<EventLoop>> loop = EventLoop::create();
  EXPECT_TRUE(loop.has_value());
  return std::move(loop).value();
}

// A socket writer over `fd` (a connected, non-blocking socket it takes over),
// as the relay builds one from a fresh connection.
inline LineWriter socket_writer_over(EventLoop& loop, int fd) {
  IoResult<Registration> registration = loop.register_fd(fd);
  EXPECT_TRUE(registration.has_value());
  auto sides = LocalConnection::adopt(std::make_shared<SharedSocket>(loop, fd, std::move(*registration))).split();
  return LineWriter(make_socket_write_end(std::move(sides.second)));
}

// The size of every write() still queued on `fd`, the reading end of a
// SOCK_SEQPACKET pair, which keeps each one apart.
inline std::vector<std::size_t> write_sizes(int fd) {
  std::vector<std::size_t> sizes;
  char buffer[1 << 17];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return sizes;
    sizes.push_back(static_cast<std::size_t>(n));
  }
}

}  // namespace trellune::testing
