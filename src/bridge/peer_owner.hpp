// Who owns the far end of a loopback TCP connection. The token is the key to
// the user's application, and while the application is not running any other
// local user may listen on its port: the bridge sends nothing to a peer whose
// socket belongs to another user.
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

// One socket that has an owner, as the kernel lists it.
struct TcpSocketRow {
  TcpEnds ends;
  uid_t uid = 0;
};

// The peer's socket is the owned one whose remote end is the bridge's
// local end. Its local end is normally the bridge's remote end; when a
// firewall rule redirected the connection to another port it is not, and then
// every socket that answers the bridge's end counts, a foreign one first.
class PeerSearch {
 public:
  PeerSearch(TcpEnds bridge, uid_t user) : bridge_(bridge), user_(user) {}

  void consider(const TcpSocketRow& row);
  // The owner's uid, or nothing when no socket answers the bridge's end.
  std::optional<uid_t> owner() const;
  bool exact_peer_found() const { return exact_.has_value(); }

 private:
  TcpEnds bridge_;
  uid_t user_;
  std::optional<uid_t> exact_;
  std::optional<uid_t> redirected_;
};

// A line of /proc/net/tcp or /proc/net/tcp6; nothing for the header, a
// malformed line or a socket listed without an owner.
std::optional<TcpSocketRow> parse_proc_net_tcp_line(std::string_view line);

struct PeerOwner {
  enum class Finding : std::uint8_t {
    Unknown,   // neither interface could be read
    NoSocket,  // the kernel lists no socket that answers the bridge's end
    Owner,
  };
  Finding finding = Finding::Unknown;
  uid_t uid = 0;
};

// The two ends of the connected socket `fd`; nothing when the peer is
// already gone.
std::optional<TcpEnds> tcp_ends_of(int fd);

// Asks the kernel about the peer of the connection with these ends, as the
// bridge sees them: through NETLINK_SOCK_DIAG, else /proc/net/tcp and
// /proc/net/tcp6. Blocks briefly.
PeerOwner find_peer_owner(const TcpEnds& bridge);

// PermissionDenied, naming `port`, unless the owner is this user or root.
// An unknown owner is let through: the check must not break a client where
// the kernel cannot be asked.
IoStatus admit_peer(const PeerOwner& owner, std::uint16_t port);

}  // namespace trellune
