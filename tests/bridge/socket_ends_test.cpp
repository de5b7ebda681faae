#include "bridge/socket_ends.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bridge_test_support.hpp"

namespace trellune {
namespace {

using testing::make_loop;
using testing::socket_writer_over;

// ---------------------------------------------------------------------------
// Socket write end: a send that takes only part of the bytes is resumed
// after a wait for writability, and nothing is lost or reordered.

TEST(SocketWriteEndTest, PartialSendsResumeAfterWaiting) {
  std::string long_payload;
  for (int i = 0; long_payload.size() < 3 * 1024 * 1024; ++i) long_payload += std::to_string(i) + ";";
  struct Case {
    const char* name;
    std::string payload;
    bool as_line;  // write_line: the payload and its newline in one send
  };
  const std::vector<Case> cases = {
      {"bytes", long_payload, false},
      {"long line", long_payload, true},
      {"empty line", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    const int small = 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::unique_ptr<EventLoop> loop = make_loop();
    LineWriter writer = socket_writer_over(*loop, fds[0]);
    const std::string expected = c.as_line ? c.payload + "\n" : c.payload;

    std::string received;
    std::thread slow_reader([fd = fds[1], &received, size = expected.size()] {
      char buffer[1000];
      while (received.size() < size) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          received.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
          break;
        } else {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      }
    });
    IoStatus status = loop->block_on(c.as_line ? writer.write_line(c.payload) : writer.write_all(c.payload));
    slow_reader.join();
    EXPECT_TRUE(status.has_value());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    ::close(fds[1]);
  }
}

TEST(SocketWriteEndTest, PeerGoneIsAnErrorNotASignal) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  ::close(fds[1]);
  std::unique_ptr<EventLoop> loop = make_loop();
  LineWriter writer = socket_writer_over(*loop, fds[0]);
  IoStatus status = loop->block_on(writer.write_all("request"));
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), IoErrorKind::BrokenPipe);
}

}  // namespace
}  // namespace trellune
