#include "bridge/stdout_buffer.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "bridge_test_support.hpp"

namespace trellune {
namespace {

using testing::write_sizes;

struct OutputCase {
  const char* name;
  std::string reply;
  std::vector<std::size_t> writes;  // after the reply, "\n" and a flush
};

// How many write() calls a reply costs.
TEST(LineBufferedOutputTest, ReplyWriteCounts) {
  const std::vector<OutputCase> cases = {
      {"short reply leaves with its newline", std::string(10, 'a'), {11}},
      {"1023 bytes fill the buffer exactly", std::string(1023, 'a'), {1024}},
      {"1024 bytes go directly, newline alone", std::string(1024, 'a'), {1024, 1}},
      {"long reply goes directly", std::string(5000, 'a'), {5000, 1}},
      {"empty reply is a bare newline", "", {1}},
      {"newline inside the reply", "ab\ncd", {3, 3}},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    const int big = 1 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    LineBufferedOutput output(fds[0]);
    EXPECT_TRUE(output.write_all(c.reply).has_value());
    EXPECT_TRUE(output.write_all("\n").has_value());
    EXPECT_TRUE(output.flush().has_value());
    EXPECT_EQ(output.buffered(), 0u);
    EXPECT_EQ(write_sizes(fds[1]), c.writes);
    ::close(fds[0]);
    ::close(fds[1]);
  }
}

TEST(LineBufferedOutputTest, FailedFlushKeepsTheBytesAndClosedDescriptorSwallowsThem) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ::close(fds[1]);
  LineBufferedOutput broken(fds[0]);
  EXPECT_TRUE(broken.write_all("pending").has_value());  // held in the buffer
  IoStatus status = broken.flush();
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), IoErrorKind::BrokenPipe);
  EXPECT_EQ(broken.buffered(), 7u);
  ::close(fds[0]);

  LineBufferedOutput closed(-1);  // EBADF counts as written
  EXPECT_TRUE(closed.write_all(std::string(2000, 'x') + "\n").has_value());
  EXPECT_TRUE(closed.write_all("tail").has_value());
  EXPECT_TRUE(closed.flush().has_value());
  EXPECT_EQ(closed.buffered(), 0u);
}

}  // namespace
}  // namespace trellune
