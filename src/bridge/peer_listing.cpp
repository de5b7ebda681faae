#include "bridge/peer_listing.hpp"

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

constexpr SourceAnswer kListed{Answer::kListed, 0};
constexpr SourceAnswer kMalformed{Answer::kMalformed, 0};

SourceAnswer refused(int error) { return {Answer::kRefused, error}; }

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

// The two ends of the connected socket `fd`; nothing when the peer is
// already gone.
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

// ---------------------------------------------------------------------------
// NETLINK_SOCK_DIAG

// An answer lists a few sockets here; a bound keeps a misbehaving one from
// holding start-up.
constexpr int kMostDiagReceives = 256;
constexpr std::size_t kDiagBufferSize = 32768;
constexpr timeval kDiagReplyTimeout{kNetlinkReplySeconds, 0};

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
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
// this way too. The host is always 127.0.0.1, so the ends are IPv4.
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

// Adds the sockets of one answer (a dump, or a single socket) to `sockets`.
SourceAnswer read_diag_answer(int netlink, std::vector<TcpSocketRow>& sockets) {
  char buffer[kDiagBufferSize];
  for (int round = 0; round < kMostDiagReceives; ++round) {
    // MSG_TRUNC makes recv report a message's full length, so a truncated
    // one is seen instead of parsed.
    const ssize_t received = ::recvfrom(netlink, buffer, sizeof buffer, MSG_TRUNC, nullptr, nullptr);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {Answer::kTimedOut, 0};
    if (received < 0) return refused(errno);
    if (static_cast<std::size_t>(received) > sizeof buffer) return kMalformed;
    IoResult<DiagDatagram> datagram = parse_diag_datagram({buffer, static_cast<std::size_t>(received)});
    if (!datagram) return kMalformed;
    sockets.insert(sockets.end(), datagram->rows.begin(), datagram->rows.end());
    if (datagram->error != 0) return refused(datagram->error);
    if (!datagram->more) return kListed;
  }
  return kMalformed;
}

SourceAnswer ask(int netlink, const DiagRequest& request, std::vector<TcpSocketRow>& sockets) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent = 0;
  do {
    sent = ::sendto(netlink, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return refused(errno);
  if (sent != static_cast<ssize_t>(sizeof request)) return kMalformed;
  return read_diag_answer(netlink, sockets);
}

// ENOENT: no such socket, or no handler for the request.
bool not_found(const SourceAnswer& answer) { return answer == refused(ENOENT); }

// The listeners on `port`, IPv4 and IPv6 (a dual-stack listener is an IPv6
// socket). Only a dump tells a kernel without TCP diagnostics (ENOENT for
// IPv4, as when the module can't be loaded) from a socket not found; a
// kernel without IPv6 has no handler for the IPv6 dump.
SourceAnswer list_listeners(int netlink, std::uint16_t port, std::vector<TcpSocketRow>& sockets) {
  const SourceAnswer ipv4 = ask(netlink, listener_dump_request(AF_INET, port), sockets);
  if (ipv4.answer != Answer::kListed) return ipv4;
  const SourceAnswer ipv6 = ask(netlink, listener_dump_request(AF_INET6, port), sockets);
  return not_found(ipv6) ? kListed : ipv6;
}

bool is_exact_end(const TcpSocketRow& row, const TcpEnds& bridge) {
  return answers(row, bridge) && row.ends.local == bridge.remote;
}

SourceAnswer list_through_sock_diag(const TcpEnds& bridge, std::vector<TcpSocketRow>& sockets) {
  const UniqueFd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink) return refused(errno);
  if (::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &kDiagReplyTimeout, sizeof kDiagReplyTimeout) != 0) {
    return refused(errno);
  }
  SourceAnswer listed = list_listeners(netlink.get(), bridge.remote.port, sockets);
  if (listed.answer != Answer::kListed) return listed;
  const SourceAnswer exact = ask(netlink.get(), exact_end_request(bridge), sockets);
  if (exact.answer != Answer::kListed && !not_found(exact)) return exact;
  if (std::any_of(sockets.begin(), sockets.end(), [&](const TcpSocketRow& row) { return is_exact_end(row, bridge); })) {
    return kListed;
  }
  // A firewall rule may have redirected the connection to another port:
  // every socket that answers the bridge's end, and the listeners of those
  // that no process holds yet.
  for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
    const SourceAnswer answer = ask(netlink.get(), connection_dump_request(family, bridge.local.port), sockets);
    if (answer.answer != Answer::kListed && !not_found(answer)) return answer;
  }
  std::vector<std::uint16_t> ports{bridge.remote.port};
  for (std::size_t index = 0; index < sockets.size(); ++index) {
    const TcpSocketRow row = sockets[index];
    const std::uint16_t port = row.ends.local.port;
    if (!answers(row, bridge) || row.inode != 0 || std::find(ports.begin(), ports.end(), port) != ports.end()) {
      continue;
    }
    ports.push_back(port);
    listed = list_listeners(netlink.get(), port, sockets);
    if (listed.answer != Answer::kListed) return listed;
  }
  return kListed;
}

// ---------------------------------------------------------------------------
// Files of /proc

std::string_view next_field(std::string_view& rest) {
  const std::size_t start = rest.find_first_not_of(" \t\n");
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const std::size_t end = std::min(rest.find_first_of(" \t\n"), rest.size());
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

// The file's text, or the errno that stopped its reading.
struct FileText {
  std::string text;
  int error = 0;
};

FileText read_whole_file(const char* path) {
  FileText file;
  const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    file.error = errno;
    return file;
  }
  char chunk[16384];
  for (;;) {
    const ssize_t count = ::read(fd.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) file.error = errno;
    if (count <= 0) return file;
    file.text.append(chunk, static_cast<std::size_t>(count));
  }
}

// Its first line is the header; any other line that does not parse makes
// the file unreadable, since it could be the one socket that matters. Every
// listener is kept: which ports matter is known only once the ends that
// answer the bridge are.
SourceAnswer list_proc_file(const char* path, const TcpEnds& bridge, std::vector<TcpSocketRow>& sockets) {
  const FileText file = read_whole_file(path);
  if (file.error != 0) return refused(file.error);
  std::string_view rest = file.text;
  const std::size_t header_end = rest.find('\n');
  if (header_end == std::string_view::npos) return kMalformed;
  rest.remove_prefix(header_end + 1);
  const auto wanted = [&](const TcpSocketRow& row) { return row.state == TCP_LISTEN || answers(row, bridge); };
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return kMalformed;
    const ProcLine parsed = parse_proc_line(rest.substr(0, end), wanted);
    if (!parsed.well_formed) return kMalformed;
    if (parsed.row) sockets.push_back(*parsed.row);
    rest.remove_prefix(end + 1);
  }
  return kListed;
}

// The settings below have defaults for a file that is missing or forbidden.
bool missing_or_forbidden(int error) { return error == ENOENT || error == EACCES || error == EPERM; }

// The uid that stands for owners outside this user namespace; the kernel's
// default where the setting can't be read.
IoResult<uid_t> overflow_uid() {
  const FileText file = read_whole_file("/proc/sys/kernel/overflowuid");
  if (missing_or_forbidden(file.error)) return kDefaultOverflowUid;
  if (file.error != 0) return IoError::from_os_code(file.error);
  std::string_view digits = file.text;
  if (!digits.empty() && digits.back() == '\n') digits.remove_suffix(1);
  return parse_number<uid_t>(digits, 10).value_or(kDefaultOverflowUid);
}

// A map that can't be read maps nothing for certain.
IoResult<bool> user_namespace_maps_every_uid() {
  const FileText file = read_whole_file("/proc/self/uid_map");
  if (missing_or_forbidden(file.error)) return false;
  if (file.error != 0) return IoError::from_os_code(file.error);
  return maps_every_uid(file.text);
}

}  // namespace

IoResult<PeerEvidence> gather_peer_evidence(int fd) {
  PeerEvidence evidence;
  evidence.bridge = tcp_ends_of(fd);
  // A peer already gone, or a connection to itself, has no far end to ask
  // about.
  if (!evidence.bridge || evidence.bridge->local == evidence.bridge->remote) return evidence;
  evidence.user = ::geteuid();
  IoResult<uid_t> overflow = overflow_uid();
  if (!overflow) return std::move(overflow).error();
  evidence.overflow = *overflow;
  // Both sources ask for, or keep, the sockets in these states.
  evidence.connection_states = kConnectionStates;
  evidence.netlink = list_through_sock_diag(*evidence.bridge, evidence.sockets);
  if (evidence.netlink.answer != Answer::kListed) {
    evidence.sockets.clear();
    evidence.proc_tcp = list_proc_file("/proc/net/tcp", *evidence.bridge, evidence.sockets);
    evidence.proc_tcp6 = list_proc_file("/proc/net/tcp6", *evidence.bridge, evidence.sockets);
  }
  // The map tells only what the overflow uid stands for: it is read only
  // where a socket shows that uid, so that other starts don't pay for it.
  const std::vector<TcpSocketRow>& sockets = evidence.sockets;
  if (std::any_of(sockets.begin(), sockets.end(), [&](const TcpSocketRow& row) { return row.uid == *overflow; })) {
    IoResult<bool> maps_all = user_namespace_maps_every_uid();
    if (!maps_all) return std::move(maps_all).error();
    evidence.maps_every_uid = *maps_all;
  }
  return evidence;
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

IoResult<DiagDatagram> parse_diag_datagram(std::string_view datagram) {
  if (datagram.size() < sizeof(nlmsghdr)) return unreadable_listing("NETLINK_SOCK_DIAG");
  DiagDatagram parsed;
  std::size_t offset = 0;
  while (datagram.size() - offset >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, datagram.data() + offset, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > datagram.size() - offset) {
      return unreadable_listing("NETLINK_SOCK_DIAG");
    }
    const std::string_view payload = datagram.substr(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
    if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
      // Both end the answer. NLMSG_ERROR carries an errno, negated, or 0 for
      // an acknowledgement; NLMSG_DONE carries one too when a dump failed
      // part way, as when the kernel has inet_diag but no tcp_diag.
      int error = 0;
      if (payload.size() >= sizeof error) {
        std::memcpy(&error, payload.data(), sizeof error);
      } else if (header.nlmsg_type == NLMSG_ERROR) {
        return unreadable_listing("NETLINK_SOCK_DIAG");
      }
      if (error > 0) return unreadable_listing("NETLINK_SOCK_DIAG");
      parsed.more = false;
      parsed.error = -error;
      return parsed;
    }
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY) return unreadable_listing("NETLINK_SOCK_DIAG");
    const std::optional<TcpSocketRow> row = parse_inet_diag_message(payload);
    if (!row) return unreadable_listing("NETLINK_SOCK_DIAG");
    parsed.rows.push_back(*row);
    parsed.more = (header.nlmsg_flags & NLM_F_MULTI) != 0;
    // The last message's padding may lie beyond the datagram's end.
    offset = std::min<std::size_t>(datagram.size(), offset + NLMSG_ALIGN(header.nlmsg_len));
  }
  if (offset != datagram.size()) return unreadable_listing("NETLINK_SOCK_DIAG");
  return parsed;
}

bool maps_every_uid(std::string_view uid_map) {
  std::string_view rest = uid_map;
  const std::string_view inside = next_field(rest);
  const std::string_view outside = next_field(rest);
  const std::string_view count = next_field(rest);
  return inside == "0" && outside == "0" && count == "4294967295" && next_field(rest).empty();
}

}  // namespace trellune
