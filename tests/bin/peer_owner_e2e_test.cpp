// The real executable against listeners of other users: the token goes to a
// peer of the bridge's own user or of root, and not one byte to anyone else,
// whichever interface the kernel is asked through. Needs root to take on
// other uids.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.hpp"

namespace trellune {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::exited_with;
using namespace std::chrono_literals;

using Environment = std::vector<std::pair<std::string, std::string>>;

enum class Family { Ipv4, DualStack };

constexpr int kListenerWaitMs = 10000;

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool readable_within(int fd, int timeout_ms) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, timeout_ms) == 1;
}

int listening_socket(Family family) {
  if (family == Family::Ipv4) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd;
  }
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int v6_only = 0;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  if (fd < 0 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return -1;
  }
  return fd;
}

std::uint16_t port_of(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

// The listener's side of one connection: everything it received, answering
// the first line with one of its own.
std::string serve_one_connection(int listener) {
  std::string received;
  if (!readable_within(listener, kListenerWaitMs)) return received;
  const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenerWaitMs);
  char buffer[4096];
  while (readable_within(connection, remaining_ms(deadline))) {
    const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
    if (count <= 0) break;
    const bool first_line_ends = received.find('\n') == std::string::npos &&
                                 std::string(buffer, static_cast<std::size_t>(count)).find('\n') != std::string::npos;
    received.append(buffer, static_cast<std::size_t>(count));
    if (first_line_ends) (void)::send(connection, "reply\n", 6, MSG_NOSIGNAL);
  }
  ::close(connection);
  return received;
}

// A listener in a child process that takes on `uid` before it creates its
// socket: the kernel records a socket's owner when the socket is made, and
// accepted sockets inherit it.
class OwnedListener {
 public:
  OwnedListener(uid_t uid, Family family) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(report[0]);
      run(uid, family, report[1]);
    }
    ::close(report[1]);
    report_fd_ = report[0];
    std::uint16_t port = 0;
    if (pid_ > 0 && readable_within(report_fd_, kListenerWaitMs) &&
        ::read(report_fd_, &port, sizeof port) == static_cast<ssize_t>(sizeof port)) {
      port_ = port;
    }
  }
  OwnedListener(const OwnedListener&) = delete;
  OwnedListener& operator=(const OwnedListener&) = delete;
  ~OwnedListener() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (report_fd_ >= 0) ::close(report_fd_);
  }

  std::uint16_t port() const { return port_; }

  // What the listener received, once the bridge closed the connection.
  std::string received() {
    std::string text;
    char buffer[4096];
    while (readable_within(report_fd_, kListenerWaitMs)) {
      const ssize_t count = ::read(report_fd_, buffer, sizeof buffer);
      if (count <= 0) break;
      text.append(buffer, static_cast<std::size_t>(count));
    }
    return text;
  }

 private:
  [[noreturn]] static void run(uid_t uid, Family family, int report) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
      ::_exit(126);
    }
    const int listener = listening_socket(family);
    if (listener < 0 || ::listen(listener, 4) != 0) ::_exit(125);
    const std::uint16_t port = port_of(listener);
    if (::write(report, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) ::_exit(124);
    const std::string received = serve_one_connection(listener);
    (void)!::write(report, received.data(), received.size());
    ::_exit(0);
  }

  pid_t pid_ = -1;
  int report_fd_ = -1;
  std::uint16_t port_ = 0;
};

struct Outcome {
  testing::ExitStatus status;
  std::string out;
  std::string err;
  std::string at_listener;
};

Outcome run_bridge(uid_t bridge_uid, uid_t listener_uid, Family family, const Environment& faults) {
  OwnedListener listener(listener_uid, family);
  EXPECT_NE(listener.port(), 0) << "the listener did not start";
  ChildOptions options;
  options.env = {{"TRELLUNE_MCP_PORT", std::to_string(listener.port())}, {"TRELLUNE_MCP_TOKEN", "tok"}};
  options.env.insert(options.env.end(), faults.begin(), faults.end());
  options.run_as = bridge_uid;
  Child bridge = Child::spawn(testing::bridge_command(), options);
  bridge.write_stdin("{\"id\":1}\n");
  bridge.close_stdin();
  Outcome outcome;
  outcome.status = bridge.wait();
  outcome.out = bridge.stdout_text();
  outcome.err = bridge.stderr_text();
  outcome.at_listener = listener.received();
  // The port is known only now; the message names it.
  const std::string port = std::to_string(listener.port());
  const std::string::size_type at = outcome.err.find(port);
  if (at != std::string::npos) outcome.err.replace(at, port.size(), "PORT");
  return outcome;
}

constexpr uid_t kRoot = 0;
constexpr uid_t kUser = 4242;
constexpr uid_t kOtherUser = 4343;

struct OwnerCase {
  const char* name;
  uid_t bridge;
  uid_t listener;
  bool refused;
  const char* error_line;
};

constexpr OwnerCase kOwnerCases[] = {
    {"bridge root, listener of another user", kRoot, kUser, true,
     "Error: Custom { kind: PermissionDenied, error: \"port PORT belongs to uid 4242, not to this user: refusing to "
     "send the token\" }\n"},
    {"bridge root, listener root", kRoot, kRoot, false, ""},
    {"bridge and listener of one user", kUser, kUser, false, ""},
    {"bridge of a user, listener root", kUser, kRoot, false, ""},
    {"bridge of a user, listener of another user", kUser, kOtherUser, true,
     "Error: Custom { kind: PermissionDenied, error: \"port PORT belongs to uid 4343, not to this user: refusing to "
     "send the token\" }\n"},
};

struct LookupMode {
  const char* name;
  Environment faults;
};

std::vector<LookupMode> lookup_modes() {
  std::vector<LookupMode> modes{{"netlink", {}}};
#ifdef TRELLUNE_FAULT_INJECTION_LIBRARY
  modes.push_back({"/proc/net/tcp*, netlink failing",
                   {{"LD_PRELOAD", TRELLUNE_FAULT_INJECTION_LIBRARY}, {"TRELLUNE_FAULT_NO_NETLINK", "1"}}});
#endif
  return modes;
}

constexpr std::pair<Family, const char*> kFamilies[] = {{Family::Ipv4, "127.0.0.1"},
                                                        {Family::DualStack, "dual-stack ::"}};

TEST(PeerOwnerE2eTest, OnlyTheUsersOwnOrRootsListenerGetsTheToken) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run listeners and the bridge under other uids";
  for (const LookupMode& mode : lookup_modes()) {
    for (const auto& [family, family_name] : kFamilies) {
      for (const OwnerCase& c : kOwnerCases) {
        SCOPED_TRACE(std::string(mode.name) + ", " + family_name + ": " + c.name);
        const Outcome outcome = run_bridge(c.bridge, c.listener, family, mode.faults);
        if (c.refused) {
          EXPECT_EQ(outcome.status, exited_with(1));
          EXPECT_EQ(outcome.err, c.error_line);
          EXPECT_EQ(outcome.out, "");
          EXPECT_EQ(outcome.at_listener, "");
        } else {
          EXPECT_EQ(outcome.status, exited_with(0));
          EXPECT_EQ(outcome.err, "");
          EXPECT_EQ(outcome.out, "reply\n");
          EXPECT_EQ(outcome.at_listener, "{\"id\":1,\"token\":\"tok\"}\n");
        }
      }
    }
  }
}

// Where the kernel cannot be asked at all, the bridge works as it did before
// the check: a client that worked must keep working.
TEST(PeerOwnerE2eTest, WithNeitherInterfaceTheBridgeProceeds) {
#ifndef TRELLUNE_FAULT_INJECTION_LIBRARY
  GTEST_SKIP() << "the fault-injection library is not built here";
#else
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a listener under another uid";
  for (const auto& [family, family_name] : kFamilies) {
    SCOPED_TRACE(family_name);
    const Outcome outcome = run_bridge(kRoot, kUser, family,
                                       {{"LD_PRELOAD", TRELLUNE_FAULT_INJECTION_LIBRARY},
                                        {"TRELLUNE_FAULT_NO_NETLINK", "1"},
                                        {"TRELLUNE_FAULT_NO_PROC_NET_TCP", "1"}});
    EXPECT_EQ(outcome.status, exited_with(0));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, "reply\n");
    EXPECT_EQ(outcome.at_listener, "{\"id\":1,\"token\":\"tok\"}\n");
  }
#endif
}

}  // namespace
}  // namespace trellune
