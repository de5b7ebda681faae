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

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "base/unique_fd.hpp"

namespace trellune {
namespace {

// Every socket a connection may be held in: all but a listener, a closed
// socket and TIME_WAIT, which no process holds. A request socket (SYN_RECV)
// is asked for too; it has no inode, so only its existence counts.
constexpr std::uint32_t kConnectionStates = 1u << TCP_ESTABLISHED | 1u << TCP_SYN_RECV | 1u << TCP_FIN_WAIT1 |
                                            1u << TCP_FIN_WAIT2 | 1u << TCP_CLOSE_WAIT | 1u << TCP_LAST_ACK |
                                            1u << TCP_CLOSING;

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

// 0.0.0.0 (held v4-mapped) and ::, which take connections to any local
// address; :: only when the listener is not IPv6-only.
bool takes_any_ipv4_address(const TcpSocketRow& listener) {
  static constexpr std::array<std::uint8_t, 16> kIpv6Any{};
  static constexpr std::array<std::uint8_t, 16> kIpv4Any{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
  const auto& address = listener.ends.local.address;
  return address == kIpv4Any || (address == kIpv6Any && !listener.v6_only);
}

// A lookup that was begun and could not be finished: the bridge ends rather
// than take a partial listing for the whole.
IoError unreadable_answer(const char* what) {
  return IoError::with_custom_message(IoErrorKind::InvalidData,
                                      std::string(what) + ": the kernel's list of sockets could not be read whole");
}

// The errors that say an interface is not there or not ours to use, as in
// sandboxes and under emulators; only they let the check off. A security
// module forbids with EACCES or EPERM, at any step.
bool forbidden(int error) { return error == EACCES || error == EPERM; }

bool netlink_unavailable(int error) { return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || forbidden(error); }

bool file_unavailable(int error) { return error == ENOENT || forbidden(error); }

// ---------------------------------------------------------------------------
// NETLINK_SOCK_DIAG

// An answer lists a few sockets here; a bound keeps a misbehaving one from
// holding start-up.
constexpr int kMostDiagReceives = 256;
constexpr std::size_t kDiagBufferSize = 32768;
constexpr timeval kDiagReplyTimeout{1, 0};

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// How the kernel took one request.
enum class DiagAnswer : std::uint8_t {
  Listed,     // every socket asked for was fed to the search
  NotFound,   // ENOENT: no such socket, or no handler for the request
  Forbidden,  // EACCES or EPERM, as a security module may answer
};

DiagRequest tcp_request(std::uint8_t family, std::uint32_t states) {
  DiagRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.body.sdiag_family = family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = states;
  return request;
}

// The application's end by its exact ends: one hash lookup in the kernel,
// where a dump walks a socket table. An IPv6 socket that a dual-stack
// listener holds for an IPv4 client is hashed by its IPv4 ends and found
// this way too.
DiagRequest exact_end_request(const TcpEnds& bridge) {
  DiagRequest request = tcp_request(AF_INET, kConnectionStates);
  inet_diag_sockid& id = request.body.id;
  id.idiag_sport = htons(bridge.remote.port);
  id.idiag_dport = htons(bridge.local.port);
  std::memcpy(id.idiag_src, &bridge.remote.address[12], 4);
  std::memcpy(id.idiag_dst, &bridge.local.address[12], 4);
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return request;
}

// The kernel skips sockets whose ports differ from those given, so these
// dumps stay short however many sockets the machine has; the rows are still
// matched in full.
DiagRequest listener_dump_request(std::uint8_t family, std::uint16_t port) {
  DiagRequest request = tcp_request(family, 1u << TCP_LISTEN);
  request.header.nlmsg_flags |= NLM_F_DUMP;
  request.body.id.idiag_sport = htons(port);
  return request;
}

DiagRequest connection_dump_request(std::uint8_t family, std::uint16_t bridge_port) {
  DiagRequest request = tcp_request(family, kConnectionStates);
  request.header.nlmsg_flags |= NLM_F_DUMP;
  request.body.id.idiag_dport = htons(bridge_port);
  return request;
}

IoResult<DiagAnswer> answer_to_error(int error) {
  if (error == ENOENT) return DiagAnswer::NotFound;
  if (forbidden(error)) return DiagAnswer::Forbidden;
  return IoError::from_os_code(error);
}

// Feeds the sockets of one answer (a dump, or a single socket) to `search`.
IoResult<DiagAnswer> read_diag_answer(int netlink, PeerSearch& search) {
  alignas(nlmsghdr) char buffer[kDiagBufferSize];
  for (int round = 0; round < kMostDiagReceives; ++round) {
    // MSG_TRUNC makes recv report a message's full length, so a truncated
    // one is seen instead of parsed.
    const ssize_t received = ::recvfrom(netlink, buffer, sizeof buffer, MSG_TRUNC, nullptr, nullptr);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return IoError::with_custom_message(IoErrorKind::TimedOut,
                                          "NETLINK_SOCK_DIAG: the kernel did not list the sockets within 1 s");
    }
    if (received < 0) return io_error_from_errno();
    if (received == 0 || static_cast<std::size_t>(received) > sizeof buffer) {
      return unreadable_answer("NETLINK_SOCK_DIAG");
    }
    std::size_t offset = 0;
    const auto length = static_cast<std::size_t>(received);
    bool more = false;
    while (length - offset >= sizeof(nlmsghdr)) {
      const auto* header = reinterpret_cast<const nlmsghdr*>(buffer + offset);
      if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > length - offset) {
        return unreadable_answer("NETLINK_SOCK_DIAG");
      }
      const std::string_view payload(buffer + offset + NLMSG_HDRLEN, header->nlmsg_len - NLMSG_HDRLEN);
      if (header->nlmsg_type == NLMSG_DONE) return DiagAnswer::Listed;
      if (header->nlmsg_type == NLMSG_ERROR) {
        int error = 0;
        if (payload.size() < sizeof error) return unreadable_answer("NETLINK_SOCK_DIAG");
        std::memcpy(&error, payload.data(), sizeof error);
        return error == 0 ? IoResult<DiagAnswer>(DiagAnswer::Listed) : answer_to_error(-error);
      }
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) return unreadable_answer("NETLINK_SOCK_DIAG");
      const std::optional<TcpSocketRow> row = parse_inet_diag_message(payload);
      if (!row) return unreadable_answer("NETLINK_SOCK_DIAG");
      search.consider(*row);
      more = (header->nlmsg_flags & NLM_F_MULTI) != 0;
      // The last message's padding may lie beyond the datagram's end.
      offset = std::min<std::size_t>(length, offset + NLMSG_ALIGN(header->nlmsg_len));
    }
    if (offset != length) return unreadable_answer("NETLINK_SOCK_DIAG");
    if (!more) return DiagAnswer::Listed;
  }
  return unreadable_answer("NETLINK_SOCK_DIAG");
}

IoResult<DiagAnswer> ask(int netlink, const DiagRequest& request, PeerSearch& search) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent = 0;
  do {
    sent = ::sendto(netlink, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0 && forbidden(errno)) return DiagAnswer::Forbidden;
  if (sent < 0) return io_error_from_errno();
  if (sent != static_cast<ssize_t>(sizeof request)) return unreadable_answer("NETLINK_SOCK_DIAG");
  return read_diag_answer(netlink, search);
}

// True when the kernel listed what was asked, false when the interface is
// missing or forbidden.
IoResult<bool> search_sock_diag(PeerSearch& search, const TcpEnds& bridge) {
  const UniqueFd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink) {
    if (netlink_unavailable(errno)) return false;
    return io_error_from_errno();
  }
  if (::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &kDiagReplyTimeout, sizeof kDiagReplyTimeout) != 0) {
    return io_error_from_errno();
  }
  // The listeners first: only a dump tells a kernel without TCP diagnostics
  // (ENOENT, as when the module can't be loaded) from a socket not found.
  // A dual-stack listener is an IPv6 socket.
  for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
    IoResult<DiagAnswer> answer = ask(netlink.get(), listener_dump_request(family, bridge.remote.port), search);
    if (!answer) return std::move(answer).error();
    if (*answer == DiagAnswer::Forbidden || (*answer == DiagAnswer::NotFound && family == AF_INET)) return false;
  }
  IoResult<DiagAnswer> exact = ask(netlink.get(), exact_end_request(bridge), search);
  if (!exact) return std::move(exact).error();
  if (*exact == DiagAnswer::Forbidden) return false;
  if (search.exact_end_found()) return true;
  // A firewall rule may have redirected the connection to another port: look
  // for every socket that answers the bridge's end.
  for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
    IoResult<DiagAnswer> answer = ask(netlink.get(), connection_dump_request(family, bridge.local.port), search);
    if (!answer) return std::move(answer).error();
    if (*answer == DiagAnswer::Forbidden) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Files of /proc

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

// A line of /proc/net/tcp*, parsed as far as `wanted` needs: the ends and
// the state always, the owner only of a socket that could matter, since most
// lines are of other connections and a busy machine lists tens of thousands.
struct ProcLine {
  bool well_formed = false;
  std::optional<TcpSocketRow> row;  // for a wanted socket
};

template <class Wanted>
ProcLine parse_proc_line(std::string_view line, Wanted wanted) {
  // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
  constexpr std::size_t kStateField = 3;
  constexpr std::size_t kUidField = 7;
  constexpr std::size_t kInodeField = 9;
  std::array<std::string_view, kInodeField + 1> fields;
  std::string_view rest = line;
  for (std::size_t field = 0; field <= kStateField; ++field) fields[field] = next_field(rest);
  const std::optional<TcpEndpoint> local = parse_proc_endpoint(fields[1]);
  const std::optional<TcpEndpoint> remote = parse_proc_endpoint(fields[2]);
  const std::optional<std::uint8_t> state = parse_number<std::uint8_t>(fields[kStateField], 16);
  if (!local || !remote || !state) return {};
  TcpSocketRow row;
  row.ends = TcpEnds{*local, *remote};
  row.state = *state;
  if (!wanted(row)) return {true, std::nullopt};
  for (std::size_t field = kStateField + 1; field <= kInodeField; ++field) fields[field] = next_field(rest);
  const std::optional<uid_t> uid = parse_number<uid_t>(fields[kUidField], 10);
  const std::optional<std::uint64_t> inode = parse_number<std::uint64_t>(fields[kInodeField], 10);
  if (!uid || !inode) return {};
  row.uid = *uid;
  row.inode = *inode;
  return {true, row};
}

// The file's text, or nothing when it is missing or forbidden.
IoResult<std::optional<std::string>> read_whole_file(const char* path) {
  const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
  if (!file) {
    if (file_unavailable(errno)) return std::optional<std::string>();
    return io_error_from_errno();
  }
  std::string text;
  char chunk[16384];
  for (;;) {
    const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return io_error_from_errno();
    if (count == 0) return std::optional<std::string>(std::move(text));
    text.append(chunk, static_cast<std::size_t>(count));
  }
}

// True when the file was there to read. Its first line is the header; any
// other line that does not parse fails the lookup, since it could be the one
// socket that matters.
IoResult<bool> search_proc_file(PeerSearch& search, const char* path) {
  IoResult<std::optional<std::string>> text = read_whole_file(path);
  if (!text) return std::move(text).error();
  if (!*text) return false;
  std::string_view rest = **text;
  const std::size_t header_end = rest.find('\n');
  if (header_end == std::string_view::npos) return unreadable_answer(path);
  rest.remove_prefix(header_end + 1);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return unreadable_answer(path);
    const ProcLine parsed =
        parse_proc_line(rest.substr(0, end), [&](const TcpSocketRow& row) { return search.concerns(row); });
    if (!parsed.well_formed) return unreadable_answer(path);
    if (parsed.row) search.consider(*parsed.row);
    rest.remove_prefix(end + 1);
  }
  return true;
}

// Without IPv6 the kernel has no tcp6 table, and no IPv6 socket to list.
IoResult<bool> search_proc_net_tcp(PeerSearch& search) {
  IoResult<bool> ipv4_listed = search_proc_file(search, "/proc/net/tcp");
  if (!ipv4_listed) return std::move(ipv4_listed).error();
  IoResult<bool> ipv6_listed = search_proc_file(search, "/proc/net/tcp6");
  if (!ipv6_listed) return std::move(ipv6_listed).error();
  return *ipv4_listed || *ipv6_listed;
}

// The uid that stands for owners outside this user namespace; the kernel's
// default where the setting can't be read.
IoResult<uid_t> overflow_uid() {
  IoResult<std::optional<std::string>> text = read_whole_file("/proc/sys/kernel/overflowuid");
  if (!text) return std::move(text).error();
  if (!*text) return kDefaultOverflowUid;
  std::string_view digits = **text;
  if (!digits.empty() && digits.back() == '\n') digits.remove_suffix(1);
  return parse_number<uid_t>(digits, 10).value_or(kDefaultOverflowUid);
}

IoError refusal(std::string text) {
  return IoError::with_custom_message(IoErrorKind::PermissionDenied, text + ": refusing to send the token");
}

}  // namespace

int PeerSearch::distrust(uid_t uid) const {
  if (trust_.trusts(uid)) return 0;
  return uid == trust_.overflow ? 1 : 2;
}

void PeerSearch::note(std::optional<uid_t>& worst, uid_t uid) const {
  if (!worst || distrust(uid) > distrust(*worst)) worst = uid;
}

bool PeerSearch::concerns(const TcpSocketRow& row) const {
  if (row.state == TCP_LISTEN) {
    const TcpEndpoint& at = row.ends.local;
    return at.port == bridge_.remote.port && (at.address == bridge_.remote.address || takes_any_ipv4_address(row));
  }
  return row.ends.remote == bridge_.local;
}

void PeerSearch::consider(const TcpSocketRow& row) {
  if (!concerns(row)) return;
  if (row.state == TCP_LISTEN) {
    note(listener_owner_, row.uid);
    return;
  }
  const bool held = row.inode != 0;
  if (row.ends.local == bridge_.remote) {
    exact_found_ = true;
    if (held) note(exact_owner_, row.uid);
  } else if (held) {
    note(redirected_owner_, row.uid);
  }
}

PeerOwner PeerSearch::verdict() const {
  std::optional<uid_t> worst = listener_owner_;
  // The connection's own socket speaks for it; a redirected one only when
  // there is no such socket.
  if (const std::optional<uid_t> end = exact_found_ ? exact_owner_ : redirected_owner_) note(worst, *end);
  if (!worst) return {PeerOwner::Finding::Nobody, 0};
  switch (distrust(*worst)) {
    case 0:
      return {PeerOwner::Finding::Trusted, *worst};
    case 1:
      return {PeerOwner::Finding::Unmapped, *worst};
    default:
      return {PeerOwner::Finding::Foreign, *worst};
  }
}

std::optional<TcpSocketRow> parse_proc_net_tcp_line(std::string_view line) {
  return parse_proc_line(line, [](const TcpSocketRow&) { return true; }).row;
}

std::optional<TcpSocketRow> parse_inet_diag_message(std::string_view payload) {
  inet_diag_msg message;
  if (payload.size() < sizeof message) return std::nullopt;
  std::memcpy(&message, payload.data(), sizeof message);
  const inet_diag_sockid& id = message.id;
  TcpSocketRow row;
  if (message.idiag_family == AF_INET) {
    row.ends.local = ipv4_endpoint(id.idiag_src, ntohs(id.idiag_sport));
    row.ends.remote = ipv4_endpoint(id.idiag_dst, ntohs(id.idiag_dport));
  } else if (message.idiag_family == AF_INET6) {
    row.ends.local = ipv6_endpoint(id.idiag_src, ntohs(id.idiag_sport));
    row.ends.remote = ipv6_endpoint(id.idiag_dst, ntohs(id.idiag_dport));
  } else {
    return std::nullopt;
  }
  row.state = message.idiag_state;
  row.uid = message.idiag_uid;
  row.inode = message.idiag_inode;
  // Attributes follow; IPv6 sockets carry INET_DIAG_SKV6ONLY.
  std::size_t offset = NLMSG_ALIGN(sizeof message);
  while (offset < payload.size()) {
    nlattr attribute;
    if (payload.size() - offset < sizeof attribute) return std::nullopt;
    std::memcpy(&attribute, payload.data() + offset, sizeof attribute);
    if (attribute.nla_len < sizeof attribute || attribute.nla_len > payload.size() - offset) return std::nullopt;
    if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SKV6ONLY && attribute.nla_len > sizeof attribute) {
      row.v6_only = payload[offset + NLA_HDRLEN] != 0;
    }
    offset += NLA_ALIGN(attribute.nla_len);
  }
  return row;
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

IoResult<PeerOwner> find_peer_owner(const TcpEnds& bridge) {
  IoResult<uid_t> overflow = overflow_uid();
  if (!overflow) return std::move(overflow).error();
  const OwnerTrust trust{::geteuid(), *overflow};
  PeerSearch search(bridge, trust);
  IoResult<bool> listed = search_sock_diag(search, bridge);
  if (!listed) return std::move(listed).error();
  if (!*listed) {
    search = PeerSearch(bridge, trust);
    listed = search_proc_net_tcp(search);
    if (!listed) return std::move(listed).error();
    if (!*listed) return PeerOwner{};
  }
  return search.verdict();
}

IoStatus admit_peer(const PeerOwner& owner, std::uint16_t port) {
  const std::string named = "port " + std::to_string(port) + " belongs to uid " + std::to_string(owner.uid);
  switch (owner.finding) {
    case PeerOwner::Finding::Unknown:
    case PeerOwner::Finding::Nobody:
    case PeerOwner::Finding::Trusted:
      return {};
    case PeerOwner::Finding::Unmapped:
      return refusal(named + ", the overflow uid, which this user namespace shows for every owner it does not map, " +
                     "so the owner can't be told apart");
    case PeerOwner::Finding::Foreign:
      return refusal(named + ", not to this user");
  }
  return {};
}

}  // namespace trellune
