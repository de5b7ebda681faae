#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "event_loop/event_loop.hpp"
#include "loop_test_support.hpp"

namespace trellune {
namespace {

using namespace std::chrono_literals;
using testing::make_loop;
using testing::make_socket_pair;
using testing::SocketPair;
using testing::UniqueFd;
using testing::Watchdog;

// recv of at most 64 bytes: the bytes, or "" with errno set.
std::string receive(int fd) {
  char buffer[64];
  const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

bool send_text(int fd, const char* text) {
  return ::send(fd, text, std::char_traits<char>::length(text), MSG_NOSIGNAL) > 0;
}

struct PrewrittenResult {
  bool ready_without_suspending = false;
  bool closed = true;
  std::string received;
};

Task<PrewrittenResult> wait_for_prewritten_bytes(EventLoop* loop, int fd) {
  PrewrittenResult result;
  auto registered = loop->register_fd(fd);
  if (!registered) co_return result;
  Registration registration = std::move(*registered);
  // Lets the loop poll once, so the readiness that existed at registration is
  // recorded while nobody waits.
  auto pause = loop->sleep_for(5ms);
  co_await pause;
  auto wait = loop->wait_readable(registration);
  result.ready_without_suspending = wait.await_ready();
  const Readiness readiness = co_await wait;
  result.closed = readiness.closed();
  result.received = receive(fd);
  loop->deregister(registration);
  co_return result;
}

TEST(ReactorTest, ReadinessRecordedBeforeTheWaitIsSeen) {
  Watchdog watchdog;
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  SocketPair pair = make_socket_pair();
  ASSERT_TRUE(send_text(pair.far.get(), "early"));
  const PrewrittenResult result = loop->block_on(wait_for_prewritten_bytes(loop.get(), pair.near.get()));
  EXPECT_TRUE(result.ready_without_suspending);
  EXPECT_FALSE(result.closed);
  EXPECT_EQ(result.received, "early");
}

struct ClearCase {
  const char* name;
  bool peer_writes_after_observation;
  bool ready_after_clear;
};

constexpr ClearCase kClearCases[] = {
    // The event between EAGAIN and clear_readiness must survive the clear.
    {"event after the observed one is kept", true, true},
    // With nothing newer, the clear holds and the next wait sleeps until the
    // peer writes again.
    {"observed readiness is forgotten", false, false},
};

struct ClearResult {
  bool ready_after_clear = false;
  std::string received_after_wait;
};

Task<ClearResult> observe_drain_clear_and_wait(EventLoop* loop, int fd, int peer, ClearCase test_case) {
  ClearResult result;
  auto registered = loop->register_fd(fd);
  if (!registered) co_return result;
  Registration registration = std::move(*registered);

  send_text(peer, "a");
  auto first_wait = loop->wait_readable(registration);
  const Readiness observed = co_await first_wait;
  receive(fd);
  if (!receive(fd).empty() || errno != EAGAIN) co_return result;

  if (test_case.peer_writes_after_observation) send_text(peer, "b");
  // Either way the loop polls here, recording the peer's write if there was one.
  auto pause = loop->sleep_for(5ms);
  co_await pause;
  loop->clear_readiness(registration, observed);

  auto wait = loop->wait_readable(registration);
  result.ready_after_clear = wait.await_ready();
  // If the wait sleeps, a worker wakes it with a late write; a wait that wrongly
  // completed early would find nothing to read.
  auto late_write = loop->run_job([peer] {
    std::this_thread::sleep_for(20ms);
    return send_text(peer, "c");
  });
  co_await wait;
  result.received_after_wait = receive(fd);
  co_await late_write;
  loop->deregister(registration);
  co_return result;
}

TEST(ReactorTest, ClearReadinessKeepsOnlyNewerEvents) {
  for (const ClearCase& test_case : kClearCases) {
    SCOPED_TRACE(test_case.name);
    Watchdog watchdog;
    auto loop = make_loop();
    ASSERT_NE(loop, nullptr);
    SocketPair pair = make_socket_pair();
    const ClearResult result =
        loop->block_on(observe_drain_clear_and_wait(loop.get(), pair.near.get(), pair.far.get(), test_case));
    EXPECT_EQ(result.ready_after_clear, test_case.ready_after_clear);
    EXPECT_EQ(result.received_after_wait, test_case.ready_after_clear ? "b" : "c");
  }
}

struct ClosureCase {
  const char* name;
  bool peer_closes;  // else the peer only shuts down its sending side
  bool write_closed;
};

constexpr ClosureCase kClosureCases[] = {
    {"peer closes: hang-up closes both directions", true, true},
    {"peer shuts down sending: only reading ends", false, false},
};

struct ClosureResult {
  bool read_closed = false;
  ssize_t read_result = -1;
  bool write_closed = false;
};

Task<ClosureResult> observe_closure(EventLoop* loop, int fd) {
  ClosureResult result;
  auto registered = loop->register_fd(fd);
  if (!registered) co_return result;
  Registration registration = std::move(*registered);
  auto read_wait = loop->wait_readable(registration);
  result.read_closed = (co_await read_wait).closed();
  char byte = 0;
  result.read_result = ::recv(fd, &byte, 1, 0);
  auto write_wait = loop->wait_writable(registration);
  result.write_closed = (co_await write_wait).closed();
  co_return result;
}

TEST(ReactorTest, PeerEndIsReportedAsClosure) {
  for (const ClosureCase& test_case : kClosureCases) {
    SCOPED_TRACE(test_case.name);
    Watchdog watchdog;
    auto loop = make_loop();
    ASSERT_NE(loop, nullptr);
    SocketPair pair = make_socket_pair();
    if (test_case.peer_closes) {
      pair.far.reset();
    } else {
      ASSERT_EQ(::shutdown(pair.far.get(), SHUT_WR), 0);
    }
    const ClosureResult result = loop->block_on(observe_closure(loop.get(), pair.near.get()));
    EXPECT_TRUE(result.read_closed);
    EXPECT_EQ(result.read_result, 0);
    EXPECT_EQ(result.write_closed, test_case.write_closed);
  }
}

struct ConnectResult {
  bool write_closed = false;
  int so_error = -1;
};

Task<ConnectResult> connect_and_wait(EventLoop* loop, int fd) {
  ConnectResult result;
  auto registered = loop->register_fd(fd);
  if (!registered) co_return result;
  Registration registration = std::move(*registered);
  auto wait = loop->wait_writable(registration);
  result.write_closed = (co_await wait).closed();
  socklen_t length = sizeof result.so_error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result.so_error, &length);
  co_return result;
}

// A refused connection shows up as an error on the socket, which must end a
// write wait as closure rather than leave it waiting for writability.
TEST(ReactorTest, RefusedConnectEndsTheWriteWait) {
  Watchdog watchdog;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  {
    // Bind to get a free port, then close it so that nothing listens there.
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(probe);
    ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  }
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(client);
  const int connected = ::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ASSERT_TRUE(connected == 0 || errno == EINPROGRESS) << "errno " << errno;

  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  const ConnectResult result = loop->block_on(connect_and_wait(loop.get(), client.get()));
  EXPECT_TRUE(result.write_closed);
  EXPECT_EQ(result.so_error, ECONNREFUSED);
}

Task<bool> deregister_other_after_wake(EventLoop* loop, int first_fd, int second_fd) {
  auto first = loop->register_fd(first_fd);
  auto second = loop->register_fd(second_fd);
  if (!first || !second) co_return false;
  // Both descriptors are readable before the loop first polls, so their
  // events arrive in one batch. The woken task frees the second record while
  // that batch is still being handled if the loop resumes tasks too early.
  auto wait = loop->wait_readable(*first);
  co_await wait;
  loop->deregister(*second);
  auto pause = loop->sleep_for(1ms);
  co_await pause;
  loop->deregister(*first);
  co_return true;
}

TEST(ReactorTest, TaskMayDeregisterARecordOfTheBatchThatWokeIt) {
  Watchdog watchdog;
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  SocketPair first = make_socket_pair();
  SocketPair second = make_socket_pair();
  ASSERT_TRUE(send_text(first.far.get(), "1"));
  ASSERT_TRUE(send_text(second.far.get(), "2"));
  EXPECT_TRUE(loop->block_on(deregister_other_after_wake(loop.get(), first.near.get(), second.near.get())));
}

TEST(ReactorTest, RegisteringAnInvalidDescriptorFails) {
  auto loop = make_loop();
  ASSERT_NE(loop, nullptr);
  UniqueFd closed(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(closed);
  const int number = closed.get();
  closed.reset();
  auto registered = loop->register_fd(number);
  ASSERT_FALSE(registered.has_value());
  EXPECT_EQ(registered.error().form(), IoError::Form::Os);
  EXPECT_EQ(registered.error().os_code(), EBADF);
}

}  // namespace
}  // namespace trellune
