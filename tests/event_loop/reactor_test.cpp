#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <thread>

#include "event_loop/event_loop.hpp"
#include "loop_test_support.hpp"
#include "support/tcp_peer.hpp"

namespace trellune {
namespace {

using namespace std::chrono_literals;
using testing::make_loop;
using testing::make_socket_pair;
using testing::SocketPair;
using testing::UniqueFd;

// At most 64 bytes from `fd`; "" (with errno set) when recv gave none.
std::string receive(int fd) {
  char buffer[64];
  const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

bool send_text(int fd, const char* text) {
  return ::send(fd, text, std::char_traits<char>::length(text), MSG_NOSIGNAL) > 0;
}

Task<void> wait_for_prewritten_bytes(EventLoop* loop, int fd) {
  auto registered = loop->register_fd(fd);
  EXPECT_TRUE(registered.has_value());
  if (!registered) co_return;
  // The loop polls once here, recording the readiness that existed at
  // registration while nobody waits.
  auto pause = loop->sleep_for(5ms);
  co_await pause;
  auto wait = loop->wait_readable(*registered);
  EXPECT_TRUE(wait.await_ready());
  const Readiness readiness = co_await wait;
  EXPECT_FALSE(readiness.closed());
  EXPECT_EQ(receive(fd), "early");
}

TEST(ReactorTest, ReadinessRecordedBeforeTheWaitIsSeen) {
  auto loop = make_loop();
  SocketPair pair = make_socket_pair();
  ASSERT_TRUE(send_text(pair.far.get(), "early"));
  loop->block_on(wait_for_prewritten_bytes(loop.get(), pair.near.get()));
}

struct ClearCase {
  const char* name;
  bool peer_writes_after_observation;
  bool ready_after_clear;
};

constexpr ClearCase kClearCases[] = {
    // The event between EAGAIN and clear_readiness must survive the clear.
    {"event after the observed one is kept", true, true},
    // With nothing newer the clear holds: the next wait sleeps until the peer
    // writes again.
    {"observed readiness is forgotten", false, false},
};

Task<void> observe_drain_clear_and_wait(EventLoop* loop, int fd, int peer, ClearCase test_case) {
  auto registered = loop->register_fd(fd);
  if (!registered) co_return;
  send_text(peer, "a");
  auto first_wait = loop->wait_readable(*registered);
  const Readiness observed = co_await first_wait;
  receive(fd);
  EXPECT_TRUE(receive(fd).empty() && errno == EAGAIN);

  if (test_case.peer_writes_after_observation) send_text(peer, "b");
  // Either way the loop polls here, recording the peer's write if any.
  auto pause = loop->sleep_for(5ms);
  co_await pause;
  loop->clear_readiness(*registered, observed);

  auto wait = loop->wait_readable(*registered);
  EXPECT_EQ(wait.await_ready(), test_case.ready_after_clear);
  // A sleeping wait is woken by this late write; a wait that wrongly
  // completed at once would find nothing to read.
  auto late_write = loop->run_job([peer] {
    std::this_thread::sleep_for(20ms);
    return send_text(peer, "c");
  });
  co_await wait;
  EXPECT_EQ(receive(fd), test_case.ready_after_clear ? "b" : "c");
  co_await late_write;
}

TEST(ReactorTest, ClearReadinessKeepsOnlyNewerEvents) {
  for (const ClearCase& test_case : kClearCases) {
    SCOPED_TRACE(test_case.name);
    auto loop = make_loop();
      SocketPair pair = make_socket_pair();
    loop->block_on(observe_drain_clear_and_wait(loop.get(), pair.near.get(), pair.far.get(), test_case));
  }
}

struct ClosureCase {
  const char* name;
  bool peer_closes;  // else it only shuts down its sending side
  bool write_closed;
};

constexpr ClosureCase kClosureCases[] = {
    {"peer closes: the hang-up closes both directions", true, true},
    {"peer shuts down sending: only reading ends", false, false},
};

Task<void> observe_closure(EventLoop* loop, int fd, ClosureCase test_case) {
  auto registered = loop->register_fd(fd);
  if (!registered) co_return;
  auto read_wait = loop->wait_readable(*registered);
  const Readiness read_end = co_await read_wait;
  EXPECT_TRUE(read_end.closed());
  char byte = 0;
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
  auto write_wait = loop->wait_writable(*registered);
  const Readiness write_end = co_await write_wait;
  EXPECT_EQ(write_end.closed(), test_case.write_closed);
}

TEST(ReactorTest, PeerEndIsReportedAsClosure) {
  for (const ClosureCase& test_case : kClosureCases) {
    SCOPED_TRACE(test_case.name);
    auto loop = make_loop();
      SocketPair pair = make_socket_pair();
    if (test_case.peer_closes) {
      pair.far.reset();
    } else {
      ASSERT_EQ(::shutdown(pair.far.get(), SHUT_WR), 0);
    }
    loop->block_on(observe_closure(loop.get(), pair.near.get(), test_case));
  }
}

Task<void> wait_for_refusal(EventLoop* loop, int fd) {
  auto registered = loop->register_fd(fd);
  if (!registered) co_return;
  auto wait = loop->wait_writable(*registered);
  const Readiness refused = co_await wait;
  EXPECT_TRUE(refused.closed());
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  EXPECT_EQ(error, ECONNREFUSED);
}

// The socket error of a refused connection must end a write wait as closure,
// not leave it waiting for a writability that never comes.
TEST(ReactorTest, RefusedConnectEndsTheWriteWait) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(testing::unused_port());
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int connected = ::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ASSERT_TRUE(connected == 0 || errno == EINPROGRESS) << "errno " << errno;
  auto loop = make_loop();
  loop->block_on(wait_for_refusal(loop.get(), client.get()));
}

Task<void> deregister_other_after_wake(EventLoop* loop, int first_fd, int second_fd) {
  auto first = loop->register_fd(first_fd);
  auto second = loop->register_fd(second_fd);
  if (!first || !second) co_return;
  // Both are readable before the loop first polls, so their events arrive in
  // one batch. Were the woken task resumed before the whole batch is
  // recorded, it would free a record the batch still points to.
  auto wait = loop->wait_readable(*first);
  co_await wait;
  // Its destructor deregisters it again, which must find nothing left to free.
  loop->deregister(*second);
  auto pause = loop->sleep_for(1ms);
  co_await pause;
}

TEST(ReactorTest, TaskMayDeregisterARecordOfTheBatchThatWokeIt) {
  auto loop = make_loop();
  SocketPair first = make_socket_pair();
  SocketPair second = make_socket_pair();
  ASSERT_TRUE(send_text(first.far.get(), "1") && send_text(second.far.get(), "2"));
  loop->block_on(deregister_other_after_wake(loop.get(), first.near.get(), second.near.get()));
}

TEST(ReactorTest, RegisteringAClosedDescriptorFails) {
  auto loop = make_loop();
  const int number = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)).get();  // closed at once
  auto registered = loop->register_fd(number);
  ASSERT_FALSE(registered.has_value());
  EXPECT_EQ(registered.error().os_code(), EBADF);
}

}  // namespace
}  // namespace trellune
