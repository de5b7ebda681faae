// Who owns the far end of a loopback TCP connection. The token is the key to
// the user's application, and while the application is not running any other
// local user may listen on its port: the bridge sends nothing where the
// kernel shows a socket of another user.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "io_error/io_error.hpp"

namespace trellune {

// An IPv4 address is held in its v4-mapped IPv6 form (::ffff:a.b.c.d), so an
// IPv6 socket that a dual-stack listener accepted for an IPv4 client compares
// equal to the client's view of it.
struct TcpEndpoint {
  std::array<std::uint8_t, 16> address{};
  std::uint16_t port = 0;  // host order
  bool operator==(const TcpEndpoint&) const = default;
};

struct TcpEnds {
  TcpEndpoint local;
  TcpEndpoint remote;
};

// One TCP socket as the kernel lists it.
struct TcpSocketRow {
  TcpEnds ends;
  std::uint8_t state = 0;  // TCP_ESTABLISHED, TCP_LISTEN, ...
  uid_t uid = 0;
  // Zero while no process holds the socket (not accepted yet, a request or
  // TIME_WAIT socket). Kernels before 6.17 list such a socket with uid 0,
  // whoever will accept it, so its uid says nothing.
  std::uint64_t inode = 0;
  bool v6_only = false;  // an IPv6 listener that takes no IPv4 connection
};

// The uids the bridge trusts with the token: its own effective uid and root.
// The overflow uid stands for every owner outside the reader's user namespace,
// so it is nobody's, even when the bridge itself runs as it.
// The kernel's overflow uid unless /proc/sys/kernel/overflowuid says otherwise.
constexpr uid_t kDefaultOverflowUid = 65534;

struct OwnerTrust {
  uid_t user = 0;
  uid_t overflow = kDefaultOverflowUid;
  bool trusts(uid_t uid) const { return uid != overflow && (uid == user || uid == 0); }
};

struct PeerOwner {
  enum class Finding : std::uint8_t {
    Unknown,   // neither interface exists or may be read
    Nobody,    // nothing in this network namespace holds or listens for the connection
    Trusted,   // the bridge's user or root
    Foreign,   // another user
    Unmapped,  // the overflow uid: an owner this user namespace cannot name
  };
  Finding finding = Finding::Unknown;
  uid_t uid = 0;
};

// The evidence about the application's end of one connection:
// - the socket whose ends mirror the bridge's, when a process holds it;
// - without such a socket at all, every held socket that answers the bridge's
//   end, since a firewall rule may have redirected the connection to another
//   port;
// - every listener that can take a connection to the bridge's remote end,
//   since a socket nobody has accepted yet shows no owner of its own.
class PeerSearch {
 public:
  PeerSearch(TcpEnds bridge, OwnerTrust trust) : bridge_(bridge), trust_(trust) {}

  // Whether the socket could be the application's end or take the
  // connection; its owner is needed only then. A v6-only flag must be set
  // before asking.
  bool concerns(const TcpSocketRow& row) const;
  void consider(const TcpSocketRow& row);
  // The owner that decides, an untrusted one first; Nobody when no owned
  // socket answers, as when address translation carried the connection out of
  // this network namespace.
  PeerOwner verdict() const;
  bool exact_end_found() const { return exact_found_; }

 private:
  // 0 trusted, 1 unmapped, 2 foreign: the worse owner is the one to name.
  int distrust(uid_t uid) const;
  void note(std::optional<uid_t>& worst, uid_t uid) const;

  TcpEnds bridge_;
  OwnerTrust trust_;
  bool exact_found_ = false;
  std::optional<uid_t> exact_owner_;
  std::optional<uid_t> redirected_owner_;
  std::optional<uid_t> listener_owner_;
};

// A line of /proc/net/tcp or /proc/net/tcp6; nothing for the header or a
// malformed line.
std::optional<TcpSocketRow> parse_proc_net_tcp_line(std::string_view line);

// One SOCK_DIAG_BY_FAMILY message of an inet_diag answer, its attributes
// included; nothing when it is malformed.
std::optional<TcpSocketRow> parse_inet_diag_message(std::string_view payload);

// The two ends of the connected socket `fd`; nothing when the peer is
// already gone.
std::optional<TcpEnds> tcp_ends_of(int fd);

// Asks the kernel about the application's end of the connection with these
// ends, as the bridge sees them: through NETLINK_SOCK_DIAG, else
// /proc/net/tcp and /proc/net/tcp6. Blocks briefly. Fails on anything but an
// interface that is missing or forbidden: a lookup that could not be finished
// must not pass for one that found nothing.
IoResult<PeerOwner> find_peer_owner(const TcpEnds& bridge);

// PermissionDenied, naming `port`, for a foreign or unmapped owner. Where the
// kernel cannot be asked the owner is let through: the check must not break
// a client that worked.
IoStatus admit_peer(const PeerOwner& owner, std::uint16_t port);

}  // namespace trellune
