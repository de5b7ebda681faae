#include "bridge/peer_owner.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

namespace trellune {
namespace {

constexpr std::string_view kNetlink = "NETLINK_SOCK_DIAG";
constexpr std::string_view kProcTcp = "/proc/net/tcp";
constexpr std::string_view kProcTcp6 = "/proc/net/tcp6";

// The errors that say an interface is not there or not ours to use, as in
// sandboxes and under emulators; only they let the check off. A security
// module forbids with EACCES or EPERM, at any step.
bool forbidden(int error) { return error == EACCES || error == EPERM; }

// No such family or protocol (an emulator, a kernel built without it), or
// ENOENT for the first dump, from a kernel without TCP diagnostics.
bool netlink_unavailable(const SourceAnswer& netlink) {
  const int error = netlink.error;
  return netlink.answer == Answer::kRefused &&
         (error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == ENOENT || forbidden(error));
}

bool file_unavailable(const SourceAnswer& file) {
  return file.answer == Answer::kRefused && (file.error == ENOENT || forbidden(file.error));
}

// The error a source that did not list ends the bridge with.
IoError failure_of(const SourceAnswer& source, std::string_view name) {
  if (source.answer == Answer::kRefused) return IoError::from_os_code(source.error);
  if (source.answer == Answer::kTimedOut) {
    return IoError::with_custom_message(IoErrorKind::TimedOut, std::string(name) +
                                                                   ": the kernel did not list the sockets within " +
                                                                   std::to_string(kNetlinkReplySeconds) + " s");
  }
  return unreadable_listing(name);
}

// True when the evidence holds a whole listing, false when neither interface
// may be used; the error of a lookup that could not be finished, which never
// passes for one that found nothing.
IoResult<bool> listing_is_whole(const PeerEvidence& evidence) {
  if (evidence.netlink.answer == Answer::kListed) return true;
  if (!netlink_unavailable(evidence.netlink)) return failure_of(evidence.netlink, kNetlink);
  const SourceAnswer& tcp = evidence.proc_tcp;
  const SourceAnswer& tcp6 = evidence.proc_tcp6;
  // Without IPv6 the kernel has no tcp6 table, and no IPv6 socket to list.
  const bool no_ipv6 = tcp6 == SourceAnswer{Answer::kRefused, ENOENT};
  if (tcp.answer == Answer::kListed && (tcp6.answer == Answer::kListed || no_ipv6)) return true;
  if (file_unavailable(tcp) && file_unavailable(tcp6)) return false;
  if (tcp.answer != Answer::kListed && !file_unavailable(tcp)) return failure_of(tcp, kProcTcp);
  if (tcp6.answer != Answer::kListed && !file_unavailable(tcp6)) return failure_of(tcp6, kProcTcp6);
  // One file read and the other forbidden or missing: a part, and the part
  // unread could hold another user's listener.
  return unreadable_listing(tcp.answer != Answer::kListed ? kProcTcp : kProcTcp6);
}

bool mirrors(const TcpSocketRow& row, const TcpEnds& bridge) {
  return answers(row, bridge) && row.ends.local == bridge.remote;
}

// 0.0.0.0 (held v4-mapped) and ::, which take connections to any local
// address; :: only when the listener is not IPv6-only.
bool takes_any_ipv4_address(const TcpSocketRow& listener) {
  static constexpr std::array<std::uint8_t, 16> kIpv6Any{};
  static constexpr std::array<std::uint8_t, 16> kIpv4Any{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
  const auto& address = listener.ends.local.address;
  return address == kIpv4Any || (address == kIpv6Any && !listener.v6_only);
}

bool takes_connections_to(const TcpSocketRow& listener, const TcpEndpoint& end) {
  const TcpEndpoint& at = listener.ends.local;
  return listener.state == TCP_LISTEN && at.port == end.port &&
         (at.address == end.address || takes_any_ipv4_address(listener));
}

IoError refusal(std::uint16_t port, uid_t uid, std::string_view why) {
  return IoError::with_custom_message(IoErrorKind::PermissionDenied, "port " + std::to_string(port) +
                                                                          " belongs to uid " + std::to_string(uid) +
                                                                          ", " + std::string(why) +
                                                                          ": refusing to send the token");
}

// The owners that speak for the far end: every listener that can take a
// connection to the port, and the end itself once a process holds it. An
// end that no process holds yet has no owner of its own, whatever uid the
// kernel lists (0 before 6.17): its listeners speak for it. The exact end
// outweighs every other end that answers the bridge's; without it, each of
// those, as after a redirect, is judged the same way, by the listeners on
// its own port while no process holds it.
std::vector<uid_t> owners_of_far_end(const std::vector<TcpSocketRow>& sockets, const TcpEnds& bridge) {
  std::vector<uid_t> owners;
  const auto add_listeners = [&](const TcpEndpoint& end) {
    for (const TcpSocketRow& listener : sockets) {
      if (takes_connections_to(listener, end)) owners.push_back(listener.uid);
    }
  };
  const auto add_end = [&](const TcpSocketRow& end) {
    if (end.inode != 0) {
      owners.push_back(end.uid);
    } else {
      add_listeners(end.ends.local);
    }
  };
  add_listeners(bridge.remote);
  const auto exact =
      std::find_if(sockets.begin(), sockets.end(), [&](const TcpSocketRow& row) { return mirrors(row, bridge); });
  if (exact != sockets.end()) {
    add_end(*exact);
    return owners;
  }
  for (const TcpSocketRow& row : sockets) {
    if (answers(row, bridge)) add_end(row);
  }
  return owners;
}

}  // namespace

bool answers(const TcpSocketRow& row, const TcpEnds& bridge) {
  return row.state < 32 && (kConnectionStates & 1u << row.state) != 0 && row.ends.remote == bridge.local;
}

IoError unreadable_listing(std::string_view source) {
  return IoError::with_custom_message(IoErrorKind::InvalidData,
                                      std::string(source) + ": the kernel's list of sockets could not be read whole");
}

IoStatus judge_peer(const PeerEvidence& evidence) {
  // A peer already gone shows itself on the first recv or send.
  if (!evidence.bridge) return {};
  const TcpEnds& bridge = *evidence.bridge;
  // With nothing listening on a port inside the ephemeral range, connect()
  // may pick that same port as its source and complete a TCP simultaneous
  // open with itself: the request would come back as its own reply, token
  // included. Such a socket is no connection to the application, so it
  // counts as refused.
  if (bridge.local == bridge.remote) return IoError::from_os_code(ECONNREFUSED);
  IoResult<bool> whole = listing_is_whole(evidence);
  if (!whole) return std::move(whole).error();
  // Where the kernel cannot be asked the bridge works as it did before the
  // check: a client that worked must keep working.
  if (!*whole) return {};
  // A listing that left out a state the rule counts could have left out the
  // one connection that matters.
  if ((kConnectionStates & ~evidence.connection_states) != 0) {
    return unreadable_listing(evidence.netlink.answer == Answer::kListed ? kNetlink : kProcTcp);
  }

  const std::vector<uid_t> owners = owners_of_far_end(evidence.sockets, bridge);
  // The overflow uid stands for every owner a user namespace leaves out of
  // its map, so there it is nobody's, even when the bridge runs as it. Where
  // the map holds every uid it is an ordinary one.
  const auto unmapped = [&](uid_t uid) { return uid == evidence.overflow && !evidence.maps_every_uid; };
  const auto trusted = [&](uid_t uid) { return !unmapped(uid) && (uid == evidence.user || uid == 0); };
  // Another user is named before the overflow uid, whose refusal says less.
  const std::uint16_t port = bridge.remote.port;
  for (const uid_t uid : owners) {
    if (!trusted(uid) && !unmapped(uid)) return refusal(port, uid, "not to this user");
  }
  for (const uid_t uid : owners) {
    if (unmapped(uid)) {
      return refusal(port, uid,
                     "the overflow uid, which this user namespace shows for every owner it does not map, so the "
                     "owner can't be told apart");
    }
  }
  // Every owner is the bridge's user or root, or nothing in this network
  // namespace answers, as when a DNAT rule, which only root can set,
  // carried the connection into another namespace.
  return {};
}

}  // namespace trellune
