#include "bridge/local_connection.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
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

TEST(LocalConnectionTest, NothingListeningIsConnectionRefused) {
  std::unique_ptr<EventLoop> loop = make_loop();
  IoResult<LocalConnection> connection =
      loop->block_on(LocalConnection::open(*loop, "127.0.0.1", testing::unused_port()));
  ASSERT_FALSE(connection.has_value());
  EXPECT_EQ(connection.error().debug_string(),
            "Os { code: 111, kind: ConnectionRefused, message: \"Connection refused\" }");
  EXPECT_EQ(loop->worker_count(), 0u);  // a literal address needs no lookup job
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

// Whether this machine's resolver names 127.0.0.1, the listener's address,
// as localhost: asked apart from the bridge's lookup, so that a fault of that
// lookup fails the test instead of skipping it.
bool localhost_is_the_ipv4_loopback() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo("localhost", nullptr, &hints, &found) != 0) return false;
  bool loopback = false;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
    loopback = loopback || address.s_addr == htonl(INADDR_LOOPBACK);
  }
  ::freeaddrinfo(found);
  return loopback;
}

TEST(LocalConnectionTest, HostNamesAreLookedUpOnAWorker) {
  if (!localhost_is_the_ipv4_loopback()) GTEST_SKIP() << "localhost does not resolve to 127.0.0.1 here";
  testing::TcpListener listener;
  std::unique_ptr<EventLoop> loop = make_loop();
  IoResult<LocalConnection> connection = loop->block_on(LocalConnection::open(*loop, "localhost", listener.port()));
  ASSERT_TRUE(connection.has_value()) << connection.error().debug_string();
  EXPECT_EQ(loop->worker_count(), 1u);
}

TEST(LocalConnectionTest, Ipv6Literal) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
    if (fd >= 0) ::close(fd);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  std::unique_ptr<EventLoop> loop = make_loop();
  IoResult<LocalConnection> connection = loop->block_on(LocalConnection::open(*loop, "::1", ntohs(address.sin6_port)));
  EXPECT_TRUE(connection.has_value());
  EXPECT_EQ(loop->worker_count(), 0u);
  ::close(fd);
}

}  // namespace
}  // namespace trellune
