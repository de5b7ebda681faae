// The gathering of the peer check: asks the kernel about the sockets on the
// far side of a connection and records what each source answered, deciding
// nothing (peer_owner.hpp holds the rule). Uses io_error and the C library.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "bridge/peer_owner.hpp"
#include "io_error/io_error.hpp"

namespace trellune {

// Asks the kernel through NETLINK_SOCK_DIAG, and where that did not list
// whole, reads /proc/net/tcp and /proc/net/tcp6, about the connected socket
// `fd`. Blocks briefly. Fails only where the overflow uid or the uid map
// could not be read.
IoResult<PeerEvidence> gather_peer_evidence(int fd);

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
