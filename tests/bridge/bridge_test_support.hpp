// Shared set-up of the bridge unit tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>

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

}  // namespace trellune::testing
