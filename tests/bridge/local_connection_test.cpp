#include "bridge/local_connection.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/socket_ends.hpp"
#include "bridge_test_support.hpp"
#include "support/tcp_peer.hpp"

namespace trellune {
namespace {

using testing::make_loop;

// Only an IPv4 address is taken, the kind of ends the peer check judges; no
// lookup job runs.
TEST(LocalConnectionTest, OpensOnlyAnIpv4Address) {
  struct HostCase {
    const char* host;
    bool listening;
    const char* verdict;  // the error's debug rendering; empty: connected
  };
  constexpr HostCase kCases[] = {
      {"127.0.0.1", true, ""},
      {"127.0.0.1", false, "Os { code: 111, kind: ConnectionRefused, message: \"Connection refused\" }"},
      {"localhost", true, "Custom { kind: InvalidInput, error: \"not an IPv4 address: localhost\" }"},
      {"::1", true, "Custom { kind: InvalidInput, error: \"not an IPv4 address: ::1\" }"},
  };
  for (const HostCase& c : kCases) {
    SCOPED_TRACE(std::string(c.host) + (c.listening ? "" : ", nothing listening"));
    testing::TcpListener listener;
    std::unique_ptr<EventLoop> loop = make_loop();
    const std::uint16_t port = c.listening ? listener.port() : testing::unused_port();
    IoResult<LocalConnection> connection = loop->block_on(LocalConnection::open(*loop, c.host, port));
    EXPECT_EQ(connection ? std::string() : connection.error().debug_string(), c.verdict);
    EXPECT_EQ(loop->worker_count(), 0u);
  }
}

TEST(LocalConnectionTest, OpensBeforeAcceptAndShutsDownSendingOnRelease) {
  testing::TcpListener listener;
  std::unique_ptr<EventLoop> loop = make_loop();
  IoResult<LocalConnection> connection = loop->block_on(LocalConnection::open(*loop, "127.0.0.1", listener.port()));
  ASSERT_TRUE(connection.has_value());
  EXPECT_EQ(loop->worker_count(), 0u);
  {
    auto [read_side, write_side] = std::move(*connection).split();
    int nodelay = 0;
    socklen_t length = sizeof nodelay;
    ASSERT_EQ(::getsockopt(write_side.socket().fd(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0);
    LineWriter writer(make_socket_write_end(std::move(write_side)));
    EXPECT_TRUE(loop->block_on(writer.write_all("first line\n")).has_value());
    // Accepted only now: the handshake was the kernel's business.
    testing::TcpConnection peer = listener.accept();
    ASSERT_TRUE(peer.valid());
    EXPECT_EQ(peer.read_line(), "first line\n");
    // Releasing the writer alone shuts down sending: the peer sees the end
    // while the read side still holds the socket open.
    { LineWriter released = std::move(writer); }
    EXPECT_EQ(peer.read_until_eof(), "");
    EXPECT_TRUE(peer.eof_seen());
    EXPECT_TRUE(peer.write("still open\n"));
    LineReader reader(make_socket_read_end(std::move(read_side)));
    LineOutcome line = loop->block_on(reader.next_line());
    ASSERT_TRUE(line && line->has_value());
    EXPECT_EQ(**line, "still open");
  }
}

}  // namespace
}  // namespace trellune
