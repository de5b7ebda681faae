#include "bridge/peer_owner.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "base/unique_fd.hpp"

namespace trellune {
namespace {

bool trusted_owner(uid_t uid, uid_t user) { return uid == user || uid == 0; }

// The states of a full socket, which carries its creator's uid. A request
// socket (SYN_RECV) and a TIME_WAIT socket are listed with uid 0, whoever
// held the connection. A peer that has already closed its end still counts:
// it was listening all the same.
constexpr std::uint32_t kOwnedStates = 1u << TCP_ESTABLISHED | 1u << TCP_FIN_WAIT1 | 1u << TCP_FIN_WAIT2 |
                                       1u << TCP_CLOSE_WAIT | 1u << TCP_LAST_ACK | 1u << TCP_CLOSING;

bool has_owner(unsigned state) { return state < 32 && (kOwnedStates >> state & 1u) != 0; }

TcpEndpoint ipv4_endpoint(const void* address_bytes, std::uint16_t port) {
  TcpEndpoint endpoint;
  endpoint.address[10] = 0xff;
  endpoint.address[11] = 0xff;
  std::memcpy(&endpoint.address[12], address_bytes, 4);
  endpoint.port = port;
  return endpoint;
}

TcpEndpoint ipv6_endpoint(const void* address_bytes, std::uint16_t port) {
  TcpEndpoint endpoint;
  std::memcpy(endpoint.address.data(), address_bytes, 16);
  endpoint.port = port;
  return endpoint;
}

std::optional<TcpEndpoint> endpoint_of(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return ipv4_endpoint(&v4.sin_addr, ntohs(v4.sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    return ipv6_endpoint(&v6.sin6_addr, ntohs(v6.sin6_port));
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// NETLINK_SOCK_DIAG

// A dump lists a few sockets here; a bound keeps a misbehaving answer from
// holding start-up.
constexpr int kMostDiagReceives = 256;
constexpr std::size_t kDiagBufferSize = 32768;
constexpr timeval kDiagReplyTimeout{1, 0};

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

bool send_diag_request(int netlink, const DiagRequest& request) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return ::sendto(netlink, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) ==
         static_cast<ssize_t>(sizeof request);
}

DiagRequest tcp_request(std::uint8_t family) {
  DiagRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.body.sdiag_family = family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = kOwnedStates;
  return request;
}

// The peer by its exact ends: one hash lookup in the kernel, where a dump
// walks every socket table. An IPv6 socket that a dual-stack listener holds
// for an IPv4 client is hashed by its IPv4 ends and found this way too.
DiagRequest exact_peer_request(const TcpEnds& bridge) {
  DiagRequest request = tcp_request(AF_INET);
  inet_diag_sockid& id = request.body.id;
  id.idiag_sport = htons(bridge.remote.port);
  id.idiag_dport = htons(bridge.local.port);
  std::memcpy(id.idiag_src, &bridge.remote.address[12], 4);
  std::memcpy(id.idiag_dst, &bridge.local.address[12], 4);
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return request;
}

DiagRequest dump_request(std::uint8_t family, std::uint16_t bridge_port) {
  DiagRequest request = tcp_request(family);
  request.header.nlmsg_flags |= NLM_F_DUMP;
  // Lets the kernel skip sockets that do not talk to the bridge's port; the
  // rows are still matched in full.
  request.body.id.idiag_dport = htons(bridge_port);
  return request;
}

TcpSocketRow row_of(const inet_diag_msg& message) {
  const inet_diag_sockid& id = message.id;
  TcpSocketRow row;
  if (message.idiag_family == AF_INET) {
    row.ends.local = ipv4_endpoint(id.idiag_src, ntohs(id.idiag_sport));
    row.ends.remote = ipv4_endpoint(id.idiag_dst, ntohs(id.idiag_dport));
  } else {
    row.ends.local = ipv6_endpoint(id.idiag_src, ntohs(id.idiag_sport));
    row.ends.remote = ipv6_endpoint(id.idiag_dst, ntohs(id.idiag_dport));
  }
  row.uid = message.idiag_uid;
  return row;
}

// Feeds the owned sockets of one answer (a dump, or a single socket)
// to `search`; false when it failed or was cut short, so that what it listed
// may be incomplete.
bool read_diag_answer(int netlink, PeerSearch& search) {
  alignas(nlmsghdr) char buffer[kDiagBufferSize];
  for (int round = 0; round < kMostDiagReceives; ++round) {
    // MSG_TRUNC makes recv report a message's full length, so a truncated
    // one is seen instead of parsed.
    const ssize_t received = ::recvfrom(netlink, buffer, sizeof buffer, MSG_TRUNC, nullptr, nullptr);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0 || static_cast<std::size_t>(received) > sizeof buffer) return false;
    std::size_t offset = 0;
    const auto length = static_cast<std::size_t>(received);
    bool more = false;
    while (length - offset >= sizeof(nlmsghdr)) {
      const auto* header = reinterpret_cast<const nlmsghdr*>(buffer + offset);
      if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > length - offset) return false;
      if (header->nlmsg_type == NLMSG_DONE) return true;
      if (header->nlmsg_type == NLMSG_ERROR) return false;
      more = (header->nlmsg_flags & NLM_F_MULTI) != 0;
      if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY && header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        const auto& message = *reinterpret_cast<const inet_diag_msg*>(buffer + offset + NLMSG_HDRLEN);
        if (has_owner(message.idiag_state)) search.consider(row_of(message));
      }
      offset += NLMSG_ALIGN(header->nlmsg_len);
    }
    if (!more) return true;
  }
  return false;
}

bool search_sock_diag(PeerSearch& search, const TcpEnds& bridge) {
  const UniqueFd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink) return false;
  if (::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &kDiagReplyTimeout, sizeof kDiagReplyTimeout) != 0) {
    return false;
  }
  // No socket by the exact ends is answered with an error; the dumps then
  // look for a peer that a redirect moved to another port.
  if (send_diag_request(netlink.get(), exact_peer_request(bridge)) && read_diag_answer(netlink.get(), search) &&
      search.exact_peer_found()) {
    return true;
  }
  // A dual-stack listener holds IPv4 connections in IPv6 sockets.
  for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
    if (!send_diag_request(netlink.get(), dump_request(family, bridge.local.port)) ||
        !read_diag_answer(netlink.get(), search)) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// /proc/net/tcp and /proc/net/tcp6

constexpr std::size_t kProcUidField = 7;

std::string_view next_field(std::string_view& rest) {
  const std::size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
  std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  return field;
}

template <class Number>
std::optional<Number> parse_number(std::string_view text, int base) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The kernel prints each 32-bit word of an address as a number in the
// machine's byte order, so the word's bytes in memory are the address's.
std::optional<TcpEndpoint> parse_proc_endpoint(std::string_view field) {
  constexpr std::size_t kWordDigits = 8;
  const std::size_t colon = field.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view address = field.substr(0, colon);
  const std::optional<std::uint16_t> port = parse_number<std::uint16_t>(field.substr(colon + 1), 16);
  if (!port || (address.size() != kWordDigits && address.size() != 4 * kWordDigits)) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t word = 0; word * kWordDigits < address.size(); ++word) {
    const std::optional<std::uint32_t> value =
        parse_number<std::uint32_t>(address.substr(word * kWordDigits, kWordDigits), 16);
    if (!value) return std::nullopt;
    std::memcpy(&bytes[4 * word], &*value, 4);
  }
  return address.size() == kWordDigits ? ipv4_endpoint(bytes.data(), *port) : ipv6_endpoint(bytes.data(), *port);
}

std::optional<std::string> read_whole_file(const char* path) {
  const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  std::string text;
  char chunk[16384];
  for (;;) {
    const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) return text;
    text.append(chunk, static_cast<std::size_t>(count));
  }
}

bool search_proc_file(PeerSearch& search, const char* path) {
  const std::optional<std::string> text = read_whole_file(path);
  if (!text) return false;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    if (std::optional<TcpSocketRow> row = parse_proc_net_tcp_line(rest.substr(0, end))) search.consider(*row);
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return true;
}

// Without IPv6 the kernel has no tcp6 table, and no IPv6 socket to list.
bool search_proc_net_tcp(PeerSearch& search) {
  const bool ipv4_listed = search_proc_file(search, "/proc/net/tcp");
  const bool ipv6_listed = search_proc_file(search, "/proc/net/tcp6");
  return ipv4_listed || ipv6_listed;
}

IoError refusal(std::string text) {
  return IoError::with_custom_message(IoErrorKind::PermissionDenied, text + ": refusing to send the token");
}

}  // namespace

void PeerSearch::consider(const TcpSocketRow& row) {
  if (row.ends.remote != bridge_.local) return;
  if (row.ends.local == bridge_.remote) {
    exact_ = row.uid;
  } else if (!redirected_ || (trusted_owner(*redirected_, user_) && !trusted_owner(row.uid, user_))) {
    redirected_ = row.uid;
  }
}

std::optional<uid_t> PeerSearch::owner() const { return exact_ ? exact_ : redirected_; }

std::optional<TcpSocketRow> parse_proc_net_tcp_line(std::string_view line) {
  std::string_view rest = line;
  (void)next_field(rest);  // "sl", the row number
  const std::optional<TcpEndpoint> local = parse_proc_endpoint(next_field(rest));
  const std::optional<TcpEndpoint> remote = parse_proc_endpoint(next_field(rest));
  const std::optional<unsigned> state = parse_number<unsigned>(next_field(rest), 16);
  if (!local || !remote || !state || !has_owner(*state)) return std::nullopt;
  std::string_view uid_field;
  for (std::size_t field = 4; field <= kProcUidField; ++field) uid_field = next_field(rest);
  const std::optional<uid_t> uid = parse_number<uid_t>(uid_field, 10);
  if (!uid) return std::nullopt;
  return TcpSocketRow{TcpEnds{*local, *remote}, *uid};
}

std::optional<TcpEnds> tcp_ends_of(int fd) {
  sockaddr_storage local{};
  sockaddr_storage remote{};
  socklen_t local_length = sizeof local;
  socklen_t remote_length = sizeof remote;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remote_length) != 0) {
    return std::nullopt;
  }
  std::optional<TcpEndpoint> local_end = endpoint_of(local);
  std::optional<TcpEndpoint> remote_end = endpoint_of(remote);
  if (!local_end || !remote_end) return std::nullopt;
  return TcpEnds{*local_end, *remote_end};
}

PeerOwner find_peer_owner(const TcpEnds& bridge) {
  const uid_t user = ::geteuid();
  PeerSearch search(bridge, user);
  if (!search_sock_diag(search, bridge)) {
    search = PeerSearch(bridge, user);
    if (!search_proc_net_tcp(search)) return {};
  }
  if (const std::optional<uid_t> uid = search.owner()) return {PeerOwner::Finding::Owner, *uid};
  return {PeerOwner::Finding::NoSocket, 0};
}

IoStatus admit_peer(const PeerOwner& owner, std::uint16_t port) {
  switch (owner.finding) {
    case PeerOwner::Finding::Unknown:
      return {};
    case PeerOwner::Finding::NoSocket:
      return refusal("port " + std::to_string(port) +
                     ": the kernel lists no socket at the other end, so its owner is unknown");
    case PeerOwner::Finding::Owner:
      if (trusted_owner(owner.uid, ::geteuid())) return {};
      return refusal("port " + std::to_string(port) + " belongs to uid " + std::to_string(owner.uid) +
                     ", not to this user");
  }
  return {};
}

}  // namespace trellune
