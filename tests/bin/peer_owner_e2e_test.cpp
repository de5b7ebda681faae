// The real executable against listeners of other users: the token goes to a
// peer of the bridge's own user or of root, and not one byte to anyone else,
// whichever interface the kernel is asked through and whenever the listener
// accepts. tools/kernel-test runs the first table on the kernels of stable
// distributions too. Needs root to take on other uids.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
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

// Ipv4: 127.0.0.1. DualStack: ::, taking IPv4 too. AnyIpv4: 0.0.0.0, for a
// namespace that a DNAT leads to.
enum class Family { Ipv4, DualStack, AnyIpv4 };
// Late: 200 ms after the connection arrives, long after the bridge's check.
// Deferred: under TCP_DEFER_ACCEPT, which holds the connection as a request
// socket until data comes.
enum class Accept { AtOnce, Late, Deferred };

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
  if (family != Family::DualStack) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(family == Family::Ipv4 ? INADDR_LOOPBACK : INADDR_ANY);
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

// Whether this machine can hold a dual-stack listener at all (not where
// IPv6 is disabled), asked apart from the bridge.
bool ipv6_is_there() {
  const int fd = listening_socket(Family::DualStack);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// Whether the kernel lists TCP sockets through NETLINK_SOCK_DIAG here: not
// under qemu-user, nor on a kernel without its diag modules. Asked apart
// from the bridge, with a dump request of its own.
bool netlink_lists_tcp_sockets() {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{{sizeof message, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, 1, 0}, {}};
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0U;
  alignas(nlmsghdr) char answer[8192];
  const bool listed = ::send(fd, &message, sizeof message, 0) == sizeof message && readable_within(fd, 1000) &&
                      ::recv(fd, answer, sizeof answer, MSG_DONTWAIT) >= static_cast<ssize_t>(sizeof(nlmsghdr)) &&
                      reinterpret_cast<const nlmsghdr*>(answer)->nlmsg_type != NLMSG_ERROR;
  ::close(fd);
  return listed;
}

std::uint16_t port_of(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

// The listener's side of one connection: everything it received, answering
// the first line with one of its own. A connection the bridge made is
// queued before the bridge ends, so once `bridge_gone` is readable, an empty
// queue means none will come.
std::string serve_one_connection(int listener, int bridge_gone, Accept accept) {
  std::string received;
  pollfd waits[] = {{listener, POLLIN, 0}, {bridge_gone, POLLIN, 0}};
  if (::poll(waits, 2, kListenerWaitMs) < 1 || !readable_within(listener, 0)) return received;
  if (accept == Accept::Late) std::this_thread::sleep_for(200ms);
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

struct ListenerSetup {
  uid_t uid = 0;
  Family family = Family::Ipv4;
  Accept accept = Accept::AtOnce;
  std::string netns;  // a named network namespace, or this one
};

// A listener in a child process that takes on `uid` before it creates its
// socket: the kernel records a socket's owner when the socket is made, and
// accepted sockets inherit it.
class OwnedListener {
 public:
  explicit OwnedListener(const ListenerSetup& setup) {
    int report[2];
    int bridge_gone[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return;
    if (::pipe2(bridge_gone, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(report[0]);
      ::close(bridge_gone[1]);
      run(setup, report[1], bridge_gone[0]);
    }
    ::close(report[1]);
    ::close(bridge_gone[0]);
    bridge_gone_fd_ = bridge_gone[1];
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
    if (bridge_gone_fd_ >= 0) ::close(bridge_gone_fd_);
  }

  std::uint16_t port() const { return port_; }

  // What the listener received, once the bridge has ended.
  std::string received() {
    if (bridge_gone_fd_ >= 0) ::close(bridge_gone_fd_);
    bridge_gone_fd_ = -1;
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
  [[noreturn]] static void run(const ListenerSetup& setup, int report, int bridge_gone) {
    if (!setup.netns.empty()) {
      const int netns = ::open(("/run/netns/" + setup.netns).c_str(), O_RDONLY | O_CLOEXEC);
      if (netns < 0 || ::setns(netns, CLONE_NEWNET) != 0) ::_exit(123);
    }
    const uid_t uid = setup.uid;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
      ::_exit(126);
    }
    const int listener = listening_socket(setup.family);
    const int defer_seconds = 5;
    if (listener < 0 ||
        (setup.accept == Accept::Deferred &&
         ::setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds, sizeof defer_seconds) != 0) ||
        ::listen(listener, 4) != 0) {
      ::_exit(125);
    }
    const std::uint16_t port = port_of(listener);
    if (::write(report, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) ::_exit(124);
    const std::string received = serve_one_connection(listener, bridge_gone, setup.accept);
    (void)!::write(report, received.data(), received.size());
    ::_exit(0);
  }

  pid_t pid_ = -1;
  int report_fd_ = -1;
  int bridge_gone_fd_ = -1;
  std::uint16_t port_ = 0;
};

// A packager may build in a folder that only root can enter (a mktemp -d
// one): the bridge and the preload library run under other uids from copies
// that every uid can reach.
class ReachableCopies {
 public:
  ReachableCopies() {
    std::error_code error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error) temporary = "/tmp";
    std::string pattern = (temporary / "trellune-peer-owner-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr && ::chmod(pattern.c_str(), 0755) == 0) folder_ = pattern;
  }
  ReachableCopies(const ReachableCopies&) = delete;
  ReachableCopies& operator=(const ReachableCopies&) = delete;
  ~ReachableCopies() {
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }

  // The copy's path; the original's when it could not be copied.
  std::string of(const std::string& path) {
    const std::filesystem::path copy = std::filesystem::path(folder_) / std::filesystem::path(path).filename();
    std::error_code error;
    if (folder_.empty() ||
        (!std::filesystem::exists(copy, error) &&
         !std::filesystem::copy_file(path, copy, error)) ||
        ::chmod(copy.c_str(), 0755) != 0) {
      return path;
    }
    return copy.string();
  }

 private:
  std::string folder_;
};

ReachableCopies& reachable() {
  static ReachableCopies copies;
  return copies;
}

// The bridge behind `prefix`, a program it runs under (unshare, nsenter).
// The preload library is set for the bridge alone, through env: the prefix
// is a program of the host, which may be of another architecture.
std::vector<std::string> bridge_behind(std::vector<std::string> prefix, const Environment& faults) {
  std::vector<std::string> command = std::move(prefix);
  if (!faults.empty()) {
    command.push_back("/usr/bin/env");
    for (const auto& [name, value] : faults) command.push_back(name + "=" + value);
  }
  std::vector<std::string> bridge = testing::bridge_command();
  bridge.back() = reachable().of(bridge.back());
  command.insert(command.end(), bridge.begin(), bridge.end());
  return command;
}

struct BridgeSetup {
  uid_t uid = 0;
  std::vector<std::string> prefix;  // a program the bridge runs under, e.g. unshare
  Environment faults;
  std::uint16_t port = 0;  // the port the bridge is given; 0: the listener's
};

struct Outcome {
  testing::ExitStatus status;
  std::string out;
  std::string err;
  std::string at_listener;
};

Outcome run_bridge(const BridgeSetup& bridge_setup, OwnedListener& listener) {
  const std::string port = std::to_string(bridge_setup.port != 0 ? bridge_setup.port : listener.port());
  ChildOptions options;
  options.env = {{"TRELLUNE_MCP_PORT", port}, {"TRELLUNE_MCP_TOKEN", "tok"}};
  options.run_as = bridge_setup.uid;
  Child bridge = Child::spawn(bridge_behind(bridge_setup.prefix, bridge_setup.faults), options);
  bridge.write_stdin("{\"id\":1}\n");
  bridge.close_stdin();
  Outcome outcome;
  outcome.status = bridge.wait();
  outcome.out = bridge.stdout_text();
  outcome.err = bridge.stderr_text();
  outcome.at_listener = listener.received();
  // The port may be known only now; the message names it.
  const std::string::size_type at = outcome.err.find(port);
  if (at != std::string::npos) outcome.err.replace(at, port.size(), "PORT");
  return outcome;
}

Outcome run_bridge(const BridgeSetup& bridge_setup, const ListenerSetup& listener_setup) {
  OwnedListener listener(listener_setup);
  EXPECT_NE(listener.port(), 0) << "the listener did not start";
  return run_bridge(bridge_setup, listener);
}

// Relayed when `error_line` is empty, else refused with it.
void expect_outcome(const Outcome& outcome, const std::string& error_line) {
  const bool relayed = error_line.empty();
  EXPECT_EQ(outcome.status, exited_with(relayed ? 0 : 1));
  EXPECT_EQ(outcome.err, error_line);
  EXPECT_EQ(outcome.out, relayed ? "reply\n" : "");
  EXPECT_EQ(outcome.at_listener, relayed ? "{\"id\":1,\"token\":\"tok\"}\n" : "");
}

// The refusal naming `uid` as the port's owner; none, so relayed, without one.
std::string foreign_owner_error(std::optional<uid_t> uid) {
  if (!uid) return "";
  return "Error: Custom { kind: PermissionDenied, error: \"port PORT belongs to uid " + std::to_string(*uid) +
         ", not to this user: refusing to send the token\" }\n";
}

constexpr uid_t kRoot = 0;
constexpr uid_t kUser = 4242;
constexpr uid_t kOtherUser = 4343;

struct OwnerCase {
  const char* name;
  uid_t bridge;
  uid_t listener;
  Accept accept;
  std::optional<uid_t> refused_as;  // the uid the refusal names
};

constexpr OwnerCase kOwnerCases[] = {
    {"bridge root, listener of another user", kRoot, kUser, Accept::AtOnce, kUser},
    {"bridge root, listener root", kRoot, kRoot, Accept::AtOnce, std::nullopt},
    {"bridge and listener of one user", kUser, kUser, Accept::AtOnce, std::nullopt},
    {"bridge of a user, listener root", kUser, kRoot, Accept::AtOnce, std::nullopt},
    {"bridge of a user, listener of another user", kUser, kOtherUser, Accept::AtOnce, kOtherUser},
    {"bridge of a user, listener of another user whose uid is below", kOtherUser, kUser, Accept::AtOnce, kUser},
    // Until a process accepts it, kernels before 6.17 list the connection's
    // socket with uid 0: the listener decides.
    {"bridge root, late listener of another user", kRoot, kUser, Accept::Late, kUser},
    {"bridge root, late listener root", kRoot, kRoot, Accept::Late, std::nullopt},
    {"bridge and late listener of one user", kUser, kUser, Accept::Late, std::nullopt},
    {"bridge of a user, late listener root", kUser, kRoot, Accept::Late, std::nullopt},
    {"bridge of a user, late listener of another user", kUser, kOtherUser, Accept::Late, kOtherUser},
    {"bridge and TCP_DEFER_ACCEPT listener of one user", kUser, kUser, Accept::Deferred, std::nullopt},
};

struct LookupMode {
  const char* name;
  Environment faults;
};

const LookupMode kThroughNetlink{"netlink where the kernel offers it", {}};

// The preload library and the faults it is to inject, for the bridge.
Environment faults(Environment settings) {
#ifdef TRELLUNE_FAULT_INJECTION_LIBRARY
  settings.insert(settings.begin(), {"LD_PRELOAD", reachable().of(TRELLUNE_FAULT_INJECTION_LIBRARY)});
#endif
  return settings;
}

// The kernel test boots kernels without the diag modules, where the bridge
// reads /proc itself; on the host the preload library takes netlink away.
// The sanitizer and static builds have no such library: there these tests
// skip, each by name.
class PeerOwnerE2eThroughProcTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef TRELLUNE_FAULT_INJECTION_LIBRARY
    GTEST_SKIP() << "the /proc fallback is reached through the fault-injection library, not built here";
#endif
  }
  const LookupMode mode_{"/proc/net/tcp*, netlink failing", faults({{"TRELLUNE_FAULT_NO_NETLINK", "1"}})};
};

// Each check runs through netlink, and again through /proc.
#define TRELLUNE_THROUGH_BOTH(Name, check)                 \
  TEST(PeerOwnerE2eTest, Name) { check(kThroughNetlink); } \
  TEST_F(PeerOwnerE2eThroughProcTest, Name) { check(mode_); }

constexpr std::pair<Family, const char*> kFamilies[] = {{Family::Ipv4, "127.0.0.1"},
                                                        {Family::DualStack, "dual-stack ::"}};

void only_own_or_roots_listener_gets_the_token(const LookupMode& mode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run listeners and the bridge under other uids";
  for (const auto& [family, family_name] : kFamilies) {
    if (family == Family::DualStack && !ipv6_is_there()) GTEST_SKIP() << "no IPv6 here for a dual-stack listener";
    for (const OwnerCase& c : kOwnerCases) {
      SCOPED_TRACE(std::string(mode.name) + ", " + family_name + ": " + c.name);
      expect_outcome(run_bridge({c.bridge, {}, mode.faults}, {c.listener, family, c.accept, {}}),
                     foreign_owner_error(c.refused_as));
    }
  }
}

TRELLUNE_THROUGH_BOTH(OnlyTheUsersOwnOrRootsListenerGetsTheToken, only_own_or_roots_listener_gets_the_token)

std::optional<std::string> program_path(const char* name) {
  for (const char* folder : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"}) {
    const std::string path = std::string(folder) + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return std::nullopt;
}

bool succeeds(const std::string& shell_command) { return std::system(shell_command.c_str()) == 0; }

bool this_namespace_maps_every_uid() {
  std::ifstream map("/proc/self/uid_map");
  std::string inside, outside, count, more;
  return map >> inside >> outside >> count && inside == "0" && outside == "0" && count == "4294967295" &&
         !(map >> more);
}

// In a user namespace without a uid map every owner outside it, the bridge's
// own user and root included, is listed as the overflow uid. Where the map
// holds every uid, as here, the overflow uid is an ordinary one.
void the_overflow_uid_is_nobodys_only_where_the_map_leaves_uids_out(const LookupMode& mode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run listeners and the bridge under other uids";
  uid_t overflow = 65534;
  std::ifstream("/proc/sys/kernel/overflowuid") >> overflow;
  SCOPED_TRACE(mode.name);
  if (this_namespace_maps_every_uid()) {
    expect_outcome(run_bridge({overflow, {}, mode.faults}, {overflow, Family::Ipv4, Accept::Late, {}}), "");
    expect_outcome(run_bridge({kUser, {}, mode.faults}, {overflow, Family::Ipv4, Accept::Late, {}}),
                   foreign_owner_error(overflow));
  }
  const std::optional<std::string> unshare = program_path("unshare");
  const std::optional<std::string> setpriv = program_path("setpriv");
  if (!unshare || !setpriv) GTEST_SKIP() << "needs unshare and setpriv";
  if (!succeeds(*setpriv + " --reuid=4242 --regid=4242 --clear-groups " + *unshare + " -U true")) {
    GTEST_SKIP() << "this system lets no user make a user namespace";
  }
  const std::string error_line =
      "Error: Custom { kind: PermissionDenied, error: \"port PORT belongs to uid " + std::to_string(overflow) +
      ", the overflow uid, which this "
      "user namespace shows for every owner it does not map, so the owner can't be told apart: refusing to send the "
      "token\" }\n";
  for (const uid_t listener : {kOtherUser, kUser, kRoot}) {
    SCOPED_TRACE("unshare -U, listener uid " + std::to_string(listener));
    expect_outcome(run_bridge({kUser, {*unshare, "-U"}, mode.faults}, {listener, Family::Ipv4, Accept::Late, {}}),
                   error_line);
  }
}

TRELLUNE_THROUGH_BOTH(TheOverflowUidIsNobodysOnlyWhereTheMapLeavesUidsOut,
                      the_overflow_uid_is_nobodys_only_where_the_map_leaves_uids_out)

// The socket may take the last descriptor the limit allows; a lookup that
// then can't be made ends the bridge instead of letting it relay unchecked.
void under_a_tight_descriptor_limit_another_user_gets_nothing(const LookupMode& mode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run listeners and the bridge under other uids";
  const std::optional<std::string> prlimit = program_path("prlimit");
  if (!prlimit) GTEST_SKIP() << "prlimit is not installed";
  for (int limit = 5; limit <= 8; ++limit) {
    SCOPED_TRACE(std::string(mode.name) + ", at most " + std::to_string(limit) + " descriptors");
    const Outcome outcome = run_bridge({kUser, {*prlimit, "--nofile=" + std::to_string(limit)}, mode.faults},
                                       {kOtherUser, Family::Ipv4, Accept::Late, {}});
    EXPECT_NE(outcome.status, exited_with(0));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.at_listener, "");
  }
}

TRELLUNE_THROUGH_BOTH(UnderATightDescriptorLimitAnotherUserGetsNothing,
                      under_a_tight_descriptor_limit_another_user_gets_nothing)

// How a container's port is published without a proxy: 127.0.0.1:PORT is
// translated to a listener in another network namespace. Nothing in the
// bridge's namespace answers, and only root can set this up.
class DnatNamespaces {
 public:
  DnatNamespaces()
      : near_("trellune-near-" + std::to_string(::getpid())), far_("trellune-far-" + std::to_string(::getpid())) {
    ready_ = succeeds("ip netns add " + near_) && succeeds("ip netns add " + far_) &&
             succeeds("ip link add veth-near netns " + near_ + " type veth peer name veth-far netns " + far_) &&
             succeeds(in_near("ip addr add 10.213.0.1/30 dev veth-near")) &&
             succeeds(in_far("ip addr add 10.213.0.2/30 dev veth-far")) &&
             succeeds(in_near("ip link set veth-near up")) && succeeds(in_near("ip link set lo up")) &&
             succeeds(in_far("ip link set veth-far up")) && succeeds(in_far("ip link set lo up")) &&
             succeeds(in_near("sysctl -qw net.ipv4.conf.all.route_localnet=1 net.ipv4.conf.veth-near.route_localnet=1")) &&
             succeeds(in_near("nft 'table ip trellune { chain out { type nat hook output priority -100; }; "
                              "chain post { type nat hook postrouting priority 100; oifname veth-near masquerade; }; }'"));
  }
  DnatNamespaces(const DnatNamespaces&) = delete;
  DnatNamespaces& operator=(const DnatNamespaces&) = delete;
  // Deleting the namespaces takes their links and rules with them.
  ~DnatNamespaces() {
    (void)succeeds("ip netns del " + near_ + " 2>/dev/null");
    (void)succeeds("ip netns del " + far_ + " 2>/dev/null");
  }

  bool ready() const { return ready_; }
  bool forward(std::uint16_t port) {
    const std::string number = std::to_string(port);
    return succeeds(in_near("nft 'add rule ip trellune out ip daddr 127.0.0.1 tcp dport " + number +
                            " dnat to 10.213.0.2:" + number + "'"));
  }
  // Sends 127.0.0.1:from to :to inside the near namespace, in place of any
  // earlier rule.
  bool redirect(std::uint16_t from, std::uint16_t to) {
    return succeeds(in_near("nft flush chain ip trellune out")) &&
           succeeds(in_near("nft 'add rule ip trellune out ip daddr 127.0.0.1 tcp dport " + std::to_string(from) +
                            " redirect to :" + std::to_string(to) + "'"));
  }
  std::string near_path() const { return "/run/netns/" + near_; }
  const std::string& near() const { return near_; }
  const std::string& far() const { return far_; }

 private:
  std::string in_near(const std::string& command) const { return "ip netns exec " + near_ + " " + command; }
  std::string in_far(const std::string& command) const { return "ip netns exec " + far_ + " " + command; }

  std::string near_;
  std::string far_;
  bool ready_ = false;
};

void a_dnat_into_another_network_namespace_is_relayed(const LookupMode& mode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
  const std::optional<std::string> nsenter = program_path("nsenter");
  if (!nsenter || !program_path("ip") || !program_path("nft") || !program_path("sysctl")) {
    GTEST_SKIP() << "needs nsenter, ip, nft and sysctl";
  }
  DnatNamespaces namespaces;
  if (!namespaces.ready()) GTEST_SKIP() << "could not make the namespaces and their DNAT";
  OwnedListener listener({kUser, Family::AnyIpv4, Accept::AtOnce, namespaces.far()});
  ASSERT_NE(listener.port(), 0);
  ASSERT_TRUE(namespaces.forward(listener.port()));
  expect_outcome(run_bridge({kRoot, {*nsenter, "--net=" + namespaces.near_path()}, mode.faults}, listener), "");
}

TRELLUNE_THROUGH_BOTH(ADnatIntoAnotherNetworkNamespaceIsRelayed, a_dnat_into_another_network_namespace_is_relayed)

// Root made the redirect, but root did not choose who listens where it leads
// while the application is down: an end that answers through a redirect is
// judged like the exact one, a late one by the listeners on its own port.
void a_redirected_connection_is_judged_by_who_listens_where_it_leads(const LookupMode& mode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
  const std::optional<std::string> nsenter = program_path("nsenter");
  const std::optional<std::string> setpriv = program_path("setpriv");
  if (!nsenter || !setpriv || !program_path("ip") || !program_path("nft") || !program_path("sysctl")) {
    GTEST_SKIP() << "needs nsenter, setpriv, ip, nft and sysctl";
  }
  struct RedirectCase {
    const char* name;
    uid_t listener;
    Accept accept;
    std::optional<uid_t> refused_as;
  };
  constexpr RedirectCase kCases[] = {
      {"another user's listener", kOtherUser, Accept::AtOnce, kOtherUser},
      {"another user's late listener", kOtherUser, Accept::Late, kOtherUser},
      {"the user's own listener", kUser, Accept::AtOnce, std::nullopt},
      {"the user's own late listener", kUser, Accept::Late, std::nullopt},
  };
  // Nothing listens on it in the fresh namespace.
  constexpr std::uint16_t kRedirectedPort = 7890;
  DnatNamespaces namespaces;
  if (!namespaces.ready()) GTEST_SKIP() << "could not make the namespace and its nat table";
  const std::vector<std::string> as_user{*nsenter,         "--net=" + namespaces.near_path(),
                                         *setpriv,         "--reuid=" + std::to_string(kUser),
                                         "--regid=" + std::to_string(kUser), "--clear-groups"};
  for (const RedirectCase& c : kCases) {
    SCOPED_TRACE(std::string(mode.name) + ": " + c.name);
    OwnedListener listener({c.listener, Family::Ipv4, c.accept, namespaces.near()});
    ASSERT_NE(listener.port(), 0);
    ASSERT_TRUE(namespaces.redirect(kRedirectedPort, listener.port()));
    expect_outcome(run_bridge({kRoot, as_user, mode.faults, kRedirectedPort}, listener),
                   foreign_owner_error(c.refused_as));
  }
}

TRELLUNE_THROUGH_BOTH(ARedirectedConnectionIsJudgedByWhoListensWhereItLeads,
                      a_redirected_connection_is_judged_by_who_listens_where_it_leads)

std::string unreadable_line(const char* source) {
  return std::string("Error: Custom { kind: InvalidData, error: \"") + source +
         ": the kernel's list of sockets could not be read whole\" }\n";
}

// What netlink and each of the two files answer, on this machine, made to
// fail by the preload library. A whole listing refuses another user's
// listener; a part of one ends the bridge, even for the user's own, since
// the part unread could hold another user's; where neither interface may be
// used, the bridge works as it did before the check: a client that worked
// must keep working. A line or a message that doesn't parse makes a listing
// unreadable too.
TEST_F(PeerOwnerE2eThroughProcTest, EveryAnswerOfTheListingIsJudged) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a listener under another uid";
  struct ListingCase {
    const char* name;
    Environment faults;
    std::string error_line;  // empty: relayed
    uid_t listener = kOtherUser;
    Family family = Family::Ipv4;
    Accept accept = Accept::AtOnce;
    bool through_netlink = false;  // the row needs netlink to work
  };
  const Environment no_netlink{{"TRELLUNE_FAULT_NO_NETLINK", "1"}};
  const auto with = [](Environment settings, const Environment& more) {
    settings.insert(settings.end(), more.begin(), more.end());
    return faults(settings);
  };
  const Environment tcp_forbidden{{"TRELLUNE_FAULT_PROC_NET_TCP_ERRNO", "13"}};
  const Environment tcp_missing{{"TRELLUNE_FAULT_PROC_NET_TCP_ERRNO", "2"}};
  const Environment tcp6_forbidden{{"TRELLUNE_FAULT_PROC_NET_TCP6_ERRNO", "13"}};
  const Environment tcp6_missing{{"TRELLUNE_FAULT_PROC_NET_TCP6_ERRNO", "2"}};
  const Environment both_forbidden = with(tcp_forbidden, tcp6_forbidden);
  const Environment send_eacces{{"TRELLUNE_FAULT_FAIL_CALL", "sendto"}, {"TRELLUNE_FAULT_FAIL_ERRNO", "13"}};
  const Environment send_eperm{{"TRELLUNE_FAULT_FAIL_CALL", "sendto"}, {"TRELLUNE_FAULT_FAIL_ERRNO", "1"}};
  const std::string foreign = foreign_owner_error(kOtherUser);
  const Environment bad_line{{"TRELLUNE_FAULT_NO_NETLINK", "1"}, {"TRELLUNE_FAULT_BAD_PROC_LINE", "1"}};
  const Environment bad_attribute{{"TRELLUNE_FAULT_BAD_DIAG_ATTRIBUTE", "1"}};
  // The receive timeout's EAGAIN, at once.
  const Environment no_answer{{"TRELLUNE_FAULT_FAIL_CALL", "recvfrom"}, {"TRELLUNE_FAULT_FAIL_ERRNO", "11"}};
  const std::string timed_out =
      "Error: Custom { kind: TimedOut, error: \"NETLINK_SOCK_DIAG: the kernel did not list the sockets within 1 s\" "
      "}\n";
  const ListingCase cases[] = {
      {"netlink lists, both files forbidden", faults(both_forbidden), foreign, kOtherUser, Family::DualStack,
       Accept::AtOnce, true},
      {"the netlink request refused with EACCES, both files read", faults(send_eacces), foreign},
      {"the netlink request refused with EPERM, both files read", faults(send_eperm), foreign, kOtherUser,
       Family::DualStack},
      {"no netlink, no tcp6", with(no_netlink, tcp6_missing), foreign},
      {"no netlink, no tcp6, the user's own listener", with(no_netlink, tcp6_missing), "", kUser},
      {"no netlink, tcp6 forbidden", with(no_netlink, tcp6_forbidden), unreadable_line("/proc/net/tcp6"), kOtherUser,
       Family::DualStack},
      {"no netlink, tcp6 forbidden, the user's own listener", with(no_netlink, tcp6_forbidden),
       unreadable_line("/proc/net/tcp6"), kUser},
      {"no netlink, tcp forbidden", with(no_netlink, tcp_forbidden), unreadable_line("/proc/net/tcp")},
      {"no netlink, no tcp", with(no_netlink, tcp_missing), unreadable_line("/proc/net/tcp")},
      {"neither interface: both files forbidden", with(no_netlink, both_forbidden), ""},
      {"neither interface: both files forbidden, dual-stack", with(no_netlink, both_forbidden), "", kOtherUser,
       Family::DualStack},
      {"neither interface: no tcp, tcp6 forbidden", with(no_netlink, with(tcp_missing, tcp6_forbidden)), ""},
      {"neither interface: the netlink request refused, both files forbidden", with(send_eacces, both_forbidden),
       ""},
      {"a malformed line in /proc/net/tcp", faults(bad_line), unreadable_line("/proc/net/tcp"), kUser},
      {"a malformed line in /proc/net/tcp, late listener", faults(bad_line), unreadable_line("/proc/net/tcp"), kUser,
       Family::Ipv4, Accept::Late},
      {"an attribute longer than its netlink message", faults(bad_attribute), unreadable_line("NETLINK_SOCK_DIAG"),
       kUser, Family::Ipv4, Accept::AtOnce, true},
      {"an attribute longer than its netlink message, late listener", faults(bad_attribute),
       unreadable_line("NETLINK_SOCK_DIAG"), kUser, Family::Ipv4, Accept::Late, true},
      {"no netlink answer within the receive timeout", faults(no_answer), timed_out, kUser, Family::Ipv4,
       Accept::AtOnce, true},
      {"no netlink answer within the receive timeout, late listener", faults(no_answer), timed_out, kUser,
       Family::Ipv4, Accept::Late, true},
  };
  const bool netlink = netlink_lists_tcp_sockets();
  const bool ipv6 = ipv6_is_there();
  std::string not_run;
  for (const ListingCase& c : cases) {
    if ((c.through_netlink && !netlink) || (c.family == Family::DualStack && !ipv6)) {
      not_run += std::string("\n  ") + c.name;
      continue;
    }
    SCOPED_TRACE(c.name);
    expect_outcome(run_bridge({kUser, {}, c.faults}, {c.listener, c.family, c.accept, {}}), c.error_line);
  }
  if (!not_run.empty()) GTEST_SKIP() << "rows that need netlink's listing or IPv6, missing here:" << not_run;
}

}  // namespace
}  // namespace trellune
