// When the bridge may send the token. The token is the key to the user's
// application, and while the application is not running any other local user
// may listen on its port: the bridge sends nothing where the kernel shows a
// socket of another user.
//
// gather_peer_evidence asks the kernel and decides nothing; judge_peer is the
// whole rule, a function of what was gathered.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

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
  // Zero while no process holds the socket (not accepted yet, or a request
  // socket). Kernels before 6.17 list such a socket with uid 0, whoever will
  // accept it, so its uid says nothing.
  std::uint64_t inode = 0;
  bool v6_only = false;  // an IPv6 listener that takes no IPv4 connection
};

// The kernel's overflow uid unless /proc/sys/kernel/overflowuid says
// otherwise.
constexpr uid_t kDefaultOverflowUid = 65534;

// A socket that answers the bridge's end from another local port or address,
// as after a redirect.
struct RedirectedEnd {
  TcpSocketRow socket;
  // The listeners on its own local port, at any address. Netlink is asked
  // for them only while no process holds the end.
  std::vector<TcpSocketRow> listeners;
};

// What the kernel lists about the far end of one connection.
struct PeerEvidence {
  std::optional<TcpEnds> bridge;      // nothing when the peer is already gone
  bool interfaces_unavailable = false;  // neither netlink nor /proc/net/tcp* could be used
  std::vector<TcpSocketRow> listeners;  // on the bridge's remote port, at any address
  std::optional<TcpSocketRow> exact_end;  // the socket whose ends mirror the bridge's
  // Every other socket that answers the bridge's end; netlink is asked for
  // them only when there is no exact end.
  std::vector<RedirectedEnd> redirected;
  uid_t user = 0;                       // the bridge's effective uid
  uid_t overflow = kDefaultOverflowUid;
  // /proc/self/uid_map maps the whole range; read only where a socket
  // listed shows the overflow uid.
  bool maps_every_uid = false;
};

// Asks the kernel through NETLINK_SOCK_DIAG, else /proc/net/tcp and
// /proc/net/tcp6, about the connected socket `fd`. Blocks briefly. Fails on
// anything but an interface that is missing or forbidden: a lookup that
// could not be finished must not pass for one that found nothing.
IoResult<PeerEvidence> gather_peer_evidence(int fd);

// When the token may be sent: nothing when the bridge may relay, else the
// error the bridge ends with, nothing sent.
IoStatus judge_peer(const PeerEvidence& evidence);

// Files the sockets a lookup listed into `evidence`, whose bridge is set:
// the listeners on the bridge's remote port, the exact end, and the other
// ends that answer the bridge with the listeners on their own ports.
void file_sockets(PeerEvidence& evidence, const std::vector<TcpSocketRow>& sockets);

// A line of /proc/net/tcp or /proc/net/tcp6; nothing for the header or a
// malformed line.
std::optional<TcpSocketRow> parse_proc_net_tcp_line(std::string_view line);

// One SOCK_DIAG_BY_FAMILY message of an inet_diag answer, its attributes
// included; nothing when it is malformed.
std::optional<TcpSocketRow> parse_inet_diag_message(std::string_view payload);

// One datagram of a NETLINK_SOCK_DIAG answer.
struct DiagDatagram {
  std::vector<TcpSocketRow> rows;
  bool more = false;  // the answer goes on in the next datagram
  int error = 0;      // the errno the kernel ended the answer with, 0 for none
};

// InvalidData when the datagram is malformed or truncated.
IoResult<DiagDatagram> parse_diag_datagram(std::string_view datagram);

// Whether the text of /proc/self/uid_map maps every uid, as in the initial
// user namespace.
bool maps_every_uid(std::string_view uid_map);

}  // namespace trellune
