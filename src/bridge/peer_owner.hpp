// When the bridge may send the token. The token is the key to the user's
// application, and while the application is not running any other local user
// may listen on its port: the bridge sends nothing where the kernel shows a
// socket of another user.
//
// The gathering (peer_listing.hpp) asks the kernel and records what each
// source answered; judge_peer is the whole rule, a function of that record:
// which answers make a whole listing, which states are connections, whom the
// token may reach.
#pragma once

#include <netinet/tcp.h>
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

// Every state a connection may be held in: all but a listener, a closed
// socket and TIME_WAIT, which no process holds. A request socket (SYN_RECV)
// counts too; it has no inode, so it is judged by its listeners. The
// gathering lists sockets in these states.
constexpr std::uint32_t kConnectionStates = 1u << TCP_ESTABLISHED | 1u << TCP_SYN_RECV | 1u << TCP_FIN_WAIT1 |
                                            1u << TCP_FIN_WAIT2 | 1u << TCP_CLOSE_WAIT | 1u << TCP_LAST_ACK |
                                            1u << TCP_CLOSING;

// A socket that holds, or will hold once accepted, the other end of a
// connection from the bridge's end.
bool answers(const TcpSocketRow& row, const TcpEnds& bridge);

// The kernel's overflow uid unless /proc/sys/kernel/overflowuid says
// otherwise.
constexpr uid_t kDefaultOverflowUid = 65534;

// How one source of the listing answered.
enum class Answer : std::uint8_t {
  kNotAsked,   // not needed, as /proc once netlink listed
  kListed,     // read whole
  kRefused,    // the kernel refused with `error`, at any step (socket, send, open, read, an answer's errno)
  kMalformed,  // begun and not readable whole: a line or message that does not parse, a truncated one
  kTimedOut,   // no netlink answer within kNetlinkReplySeconds
};

// How long the gathering waits for each datagram of a netlink answer.
constexpr int kNetlinkReplySeconds = 1;

struct SourceAnswer {
  Answer answer = Answer::kNotAsked;
  int error = 0;  // the errno of Refused
  bool operator==(const SourceAnswer&) const = default;
};

// What the kernel lists about the far end of one connection.
struct PeerEvidence {
  std::optional<TcpEnds> bridge;  // nothing when the peer is already gone
  SourceAnswer netlink;           // NETLINK_SOCK_DIAG
  SourceAnswer proc_tcp;          // /proc/net/tcp, read when netlink did not list
  SourceAnswer proc_tcp6;         // /proc/net/tcp6, likewise
  // The states the listing took for connections, kConnectionStates unless
  // the gathering drifted from the rule.
  std::uint32_t connection_states = 0;
  // What the source that was read listed: the listeners on the ports that
  // matter and every socket in a connection state that answers the bridge.
  std::vector<TcpSocketRow> sockets;
  uid_t user = 0;  // the bridge's effective uid
  uid_t overflow = kDefaultOverflowUid;
  // /proc/self/uid_map maps the whole range; read only where a socket
  // listed shows the overflow uid.
  bool maps_every_uid = false;
};

// When the token may be sent: nothing when the bridge may relay, else the
// error the bridge ends with, nothing sent.
IoStatus judge_peer(const PeerEvidence& evidence);

// The error of a listing that was begun and could not be read whole.
IoError unreadable_listing(std::string_view source);

}  // namespace trellune
