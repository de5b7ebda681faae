#include "bridge/peer_owner.hpp"

#include "bridge/peer_listing.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace trellune {
namespace {

TcpEndpoint loopback(std::uint16_t port) {
  TcpEndpoint endpoint;
  endpoint.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
  endpoint.port = port;
  return endpoint;
}

// The bridge at 127.0.0.1:50000 (C350) connected to 127.0.0.1:7890 (1ED2).
// Rows are as a little-endian kernel prints them.
const TcpEnds kBridge{loopback(50000), loopback(7890)};
constexpr uid_t kUser = 1000;
constexpr uid_t kOverflow = 65534;

std::string row(const char* local, const char* remote, const char* state, const char* uid, const char* inode) {
  return std::string("   3: ") + local + " " + remote + " " + state +
         " 00000000:00000000 00:00000000 00000000  " + uid + "        0 " + inode + " 1 0000000000000000 20 4 30 10 -1";
}

// A socket that a process holds, and one that none holds yet: kernels before
// 6.17 list the latter with uid 0, later ones with its listener's.
std::string held(const char* local, const char* remote, const char* uid) {
  return row(local, remote, "01", uid, "81234");
}
std::string unheld(const char* local, const char* remote, const char* state = "01", const char* uid = "0") {
  return row(local, remote, state, uid, "0");
}
std::string listener(const char* local, const char* uid) { return row(local, "00000000:0000", "0A", uid, "777"); }
std::string listener6(const char* local, const char* uid) {
  return row(local, "00000000000000000000000000000000:0000", "0A", uid, "778");
}

constexpr const char* kV4Bridge = "0100007F:C350";
constexpr const char* kV4App = "0100007F:1ED2";
constexpr const char* kMappedBridge = "0000000000000000FFFF00000100007F:C350";
constexpr const char* kMappedApp = "0000000000000000FFFF00000100007F:1ED2";
// Where a redirect sent the connection: 127.0.0.1:7891.
constexpr const char* kV4Redirected = "0100007F:1ED3";

// /proc/self/uid_map as the kernel prints it in the initial user namespace,
// and in one that maps the user alone (root unmapped).
constexpr const char* kWholeMap = "         0          0 4294967295\n";
constexpr const char* kUserOnlyMap = "      1000       1000          1\n";

std::string foreign(uid_t uid) {
  return "Custom { kind: PermissionDenied, error: \"port 7890 belongs to uid " + std::to_string(uid) +
         ", not to this user: refusing to send the token\" }";
}
const std::string kUnmapped =
    "Custom { kind: PermissionDenied, error: \"port 7890 belongs to uid 65534, the overflow uid, which this user "
    "namespace shows for every owner it does not map, so the owner can't be told apart: refusing to send the "
    "token\" }";
const std::string kRelayed;

// What else the evidence says, beside the sockets listed.
enum class Lookup { kListed, kPeerGone, kToItself };

// Evidence of a whole listing through netlink.
PeerEvidence listed(std::vector<TcpSocketRow> sockets, uid_t user = kUser) {
  PeerEvidence evidence;
  evidence.bridge = kBridge;
  evidence.netlink = {Answer::kListed, 0};
  evidence.connection_states = kConnectionStates;
  evidence.sockets = std::move(sockets);
  evidence.user = user;
  evidence.overflow = kOverflow;
  return evidence;
}

std::string verdict_of(const PeerEvidence& evidence) {
  const IoStatus verdict = judge_peer(evidence);
  return verdict ? std::string() : verdict.error().debug_string();
}

std::vector<TcpSocketRow> parsed_lines(const std::vector<std::string>& lines) {
  std::vector<TcpSocketRow> sockets;
  for (const std::string& line : lines) {
    const std::optional<TcpSocketRow> parsed = parse_proc_net_tcp_line(line);
    EXPECT_TRUE(parsed) << line;
    if (parsed) sockets.push_back(*parsed);
  }
  return sockets;
}

struct RuleCase {
  const char* name;
  std::vector<std::string> lines;  // the sockets listed, as /proc/net/tcp* prints them
  std::string verdict;             // the error's debug rendering; empty: relayed
  uid_t user = kUser;
  const char* uid_map = kWholeMap;
  Lookup lookup = Lookup::kListed;
};

// One row per case of the rule, in judge_peer's order.
TEST(PeerOwnerTest, TheRuleDecidesWhenTheTokenIsSent) {
  const RuleCase cases[] = {
      {"a peer already gone is relayed to, and shows itself on the first send", {listener(kV4App, "4242")},
       kRelayed, kUser, kWholeMap, Lookup::kPeerGone},
      {"a connection to itself counts as refused", {},
       "Os { code: 111, kind: ConnectionRefused, message: \"Connection refused\" }", kUser, kWholeMap,
       Lookup::kToItself},
      // The listeners that can take a connection to 127.0.0.1:7890.
      {"listener on 127.0.0.1", {listener(kV4App, "4242")}, foreign(4242)},
      {"listener on 0.0.0.0", {listener("00000000:1ED2", "4242")}, foreign(4242)},
      {"listener on ::", {listener6("00000000000000000000000000000000:1ED2", "4242")}, foreign(4242)},
      {"listener on ::ffff:127.0.0.1", {listener6(kMappedApp, "4242")}, foreign(4242)},
      {"listeners elsewhere take no connection to 127.0.0.1:7890",
       {listener("0100007F:1ED3", "4242"), listener("0200007F:1ED2", "4242"),
        listener6("00000000000000000000000001000000:1ED2", "4242")},
       kRelayed},
      {"a foreign uid below the user's", {listener(kV4App, "999")}, foreign(999)},
      {"root's listener and this user's end", {held(kV4App, kV4Bridge, "1000"), listener(kV4App, "0")}, kRelayed},
      {"a foreign listener refuses though the held end is this user's",
       {held(kV4App, kV4Bridge, "1000"), listener("00000000:1ED2", "4242")}, foreign(4242)},
      // The exact end, once a process holds it.
      {"held end of another user", {held(kV4App, kV4Bridge, "4242")}, foreign(4242)},
      {"v4-mapped end of a dual-stack listener", {held(kMappedApp, kMappedBridge, "4242")}, foreign(4242)},
      {"held end of this user", {held(kV4App, kV4Bridge, "1000")}, kRelayed},
      {"a peer that has closed its end still names its owner", {row(kV4App, kV4Bridge, "08", "4242", "81234")},
       foreign(4242)},
      {"an end not accepted yet is judged by its listener", {unheld(kV4App, kV4Bridge), listener(kV4App, "4242")},
       foreign(4242)},
      {"a request socket under TCP_DEFER_ACCEPT, listener of this user",
       {unheld(kV4App, kV4Bridge, "03"), listener(kV4App, "1000")}, kRelayed},
      {"an end not accepted yet, listed as the overflow uid where root is unmapped, is this user's listener's",
       {unheld(kV4App, kV4Bridge, "01", "65534"), listener(kV4App, "1000")}, kRelayed, kUser, kUserOnlyMap},
      {"an end not accepted yet, listed as root, of another user's listener",
       {unheld(kV4App, kV4Bridge, "03", "0"), listener(kV4App, "4242")}, foreign(4242)},
      {"nothing in this namespace answers",
       {held(kV4App, "0100007F:C351", "4242"), held(kV4App, "0200007F:C350", "4242"),
        held(kV4Bridge, kV4App, "4242")},
       kRelayed},
      // Without the exact end, the ends that answer the bridge's end.
      {"redirected to another local port, held by another user", {held(kV4Redirected, kV4Bridge, "4242")},
       foreign(4242)},
      {"of redirected ends the foreign one counts",
       {held("0100007F:1F90", kV4Bridge, "1000"), held("0100007F:1F91", kV4Bridge, "4242"),
        held("0100007F:1F92", kV4Bridge, "0")},
       foreign(4242)},
      {"the exact end outweighs another connection from the same port",
       {held("0100007F:1F90", kV4Bridge, "4242"), unheld(kV4App, kV4Bridge), listener(kV4App, "1000")}, kRelayed},
      {"a redirected end not accepted yet, another user's listener on its port",
       {unheld(kV4Redirected, kV4Bridge), listener(kV4Redirected, "4242")}, foreign(4242)},
      {"a redirected request socket, another user's listener on :: at its port",
       {unheld(kV4Redirected, kV4Bridge, "03"), listener6("00000000000000000000000000000000:1ED3", "4242")},
       foreign(4242)},
      {"a redirected end not accepted yet, this user's listener on its port",
       {unheld(kV4Redirected, kV4Bridge), listener(kV4Redirected, "1000")}, kRelayed},
      {"a redirected end not accepted yet, root's listener on 0.0.0.0 at its port",
       {unheld(kV4Redirected, kV4Bridge), listener("00000000:1ED3", "0")}, kRelayed},
      {"a redirected end listed as the overflow uid where root is unmapped, this user's listener",
       {unheld(kV4Redirected, kV4Bridge, "01", "65534"), listener(kV4Redirected, "1000")}, kRelayed, kUser,
       kUserOnlyMap},
      {"listeners that can't take the redirected end don't count",
       {unheld(kV4Redirected, kV4Bridge), listener("0100007F:1ED4", "4242"), listener("0200007F:1ED3", "4242")},
       kRelayed},
      {"a TIME_WAIT socket holds no connection", {unheld(kV4Redirected, kV4Bridge, "06"), listener(kV4Redirected, "4242")},
       kRelayed},
      // The overflow uid.
      {"the overflow uid is nobody's where the map leaves uids out", {listener(kV4App, "65534")}, kUnmapped, kUser,
       kUserOnlyMap},
      {"and so even when the bridge runs as it", {held(kV4App, kV4Bridge, "65534")}, kUnmapped, kOverflow,
       kUserOnlyMap},
      {"a map that can't be read leaves uids out", {listener(kV4App, "65534")}, kUnmapped, kUser, ""},
      {"a map one uid short of the whole range leaves uids out", {listener(kV4App, "65534")}, kUnmapped, kUser,
       "0 0 4294967294\n"},
      {"a map of two ranges leaves uids out", {listener(kV4App, "65534")}, kUnmapped, kUser,
       "0 0 65534\n65534 65534 4294901761\n"},
      {"a foreign uid is named before the overflow uid", {listener(kV4App, "65534"), held(kV4App, kV4Bridge, "4242")},
       foreign(4242), kUser, kUserOnlyMap},
      {"where the map holds every uid the overflow uid is another user", {listener(kV4App, "65534")},
       foreign(kOverflow)},
      {"where the map holds every uid a bridge running as the overflow uid is its owner",
       {held(kV4App, kV4Bridge, "65534"), listener(kV4App, "65534")}, kRelayed, kOverflow},
      {"the whole map without padding", {listener(kV4App, "65534")}, kRelayed, kOverflow, "0 0 4294967295"},
      {"a map with more than the whole range's line", {listener(kV4App, "65534")}, kUnmapped, kOverflow,
       "0 0 4294967295 0\n"},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.name);
    PeerEvidence evidence = listed(parsed_lines(c.lines), c.user);
    evidence.maps_every_uid = maps_every_uid(c.uid_map);
    if (c.lookup == Lookup::kPeerGone) evidence.bridge.reset();
    if (c.lookup == Lookup::kToItself) evidence.bridge = TcpEnds{loopback(50000), loopback(50000)};
    EXPECT_EQ(verdict_of(evidence), c.verdict);
  }
}

// A held end of another user in each state: only a state that holds a
// connection names its owner.
TEST(PeerOwnerTest, EveryConnectionStateAndNoOtherNamesItsOwner) {
  constexpr std::pair<const char*, bool> kStates[] = {
      {"01", true},  {"02", false}, {"03", true}, {"04", true},  {"05", true}, {"06", false},
      {"07", false}, {"08", true},  {"09", true}, {"0B", true}, {"0C", false}};
  for (const auto& [state, counted] : kStates) {
    SCOPED_TRACE(std::string("state ") + state);
    EXPECT_EQ(verdict_of(listed(parsed_lines({row(kV4App, kV4Bridge, state, "4242", "81234")}))),
              counted ? foreign(4242) : kRelayed);
  }
}

std::string unreadable(const char* source) {
  return std::string("Custom { kind: InvalidData, error: \"") + source +
         ": the kernel's list of sockets could not be read whole\" }";
}

constexpr SourceAnswer kRead{Answer::kListed, 0};
constexpr SourceAnswer kMissing{Answer::kRefused, ENOENT};
constexpr SourceAnswer kForbidden{Answer::kRefused, EACCES};
constexpr SourceAnswer kNotPermitted{Answer::kRefused, EPERM};
constexpr SourceAnswer kMalformed{Answer::kMalformed, 0};

constexpr SourceAnswer kNoNetlink{Answer::kRefused, EAFNOSUPPORT};

// Evidence that lists another user's listener on 127.0.0.1, or the user's
// own, through the answers given.
PeerEvidence answered(SourceAnswer netlink, SourceAnswer tcp, SourceAnswer tcp6, const char* listener_uid = "4242") {
  PeerEvidence evidence = listed(parsed_lines({listener(kV4App, listener_uid)}));
  evidence.netlink = netlink;
  evidence.proc_tcp = tcp;
  evidence.proc_tcp6 = tcp6;
  return evidence;
}

// Every answer of netlink that lets the check fall back to /proc, with every
// answer of each file: the files make a whole only when both are read, or
// tcp is read and IPv6 has no table; a part ends the bridge, naming the file
// unread; neither lets the check off.
TEST(PeerOwnerTest, APartOfTheListingNeverPassesForTheWhole) {
  constexpr std::pair<const char*, SourceAnswer> kUnavailable[] = {
      {"no netlink family", kNoNetlink},
      {"no netlink protocol", {Answer::kRefused, EPROTONOSUPPORT}},
      {"no TCP diagnostics", kMissing},
      {"the netlink request refused with EACCES", kForbidden},
      {"the netlink request refused with EPERM", kNotPermitted}};
  constexpr std::pair<const char*, SourceAnswer> kFiles[] = {
      {"read", kRead}, {"missing", kMissing}, {"forbidden", kForbidden}, {"not permitted", kNotPermitted}};
  const std::string tcp_part = unreadable("/proc/net/tcp");
  const std::string tcp6_part = unreadable("/proc/net/tcp6");
  // By tcp's answer, then tcp6's, in kFiles' order.
  const std::string kVerdicts[4][4] = {{foreign(4242), foreign(4242), tcp6_part, tcp6_part},
                                       {tcp_part, kRelayed, kRelayed, kRelayed},
                                       {tcp_part, kRelayed, kRelayed, kRelayed},
                                       {tcp_part, kRelayed, kRelayed, kRelayed}};
  for (const auto& [netlink_name, netlink] : kUnavailable) {
    for (std::size_t tcp = 0; tcp < 4; ++tcp) {
      for (std::size_t tcp6 = 0; tcp6 < 4; ++tcp6) {
        SCOPED_TRACE(std::string(netlink_name) + ", tcp " + kFiles[tcp].first + ", tcp6 " + kFiles[tcp6].first);
        EXPECT_EQ(verdict_of(answered(netlink, kFiles[tcp].second, kFiles[tcp6].second)), kVerdicts[tcp][tcp6]);
      }
    }
  }
}

// What else a source may answer, and the user's own listener: a listing
// that could not be finished ends the bridge, whoever listens.
TEST(PeerOwnerTest, ALookupThatCouldNotBeFinishedEndsTheBridge) {
  struct SourceCase {
    const char* name;
    SourceAnswer netlink;
    SourceAnswer tcp;
    SourceAnswer tcp6;
    std::string verdict;
    const char* listener_uid = "4242";
    std::uint32_t states = kConnectionStates;
  };
  const std::string too_many_files = "Os { code: 24, kind: Uncategorized, message: \"Too many open files\" }";
  const SourceCase cases[] = {
      {"netlink listed", kRead, {}, {}, foreign(4242)},
      {"netlink listed, the user's own listener", kRead, {}, {}, kRelayed, "1000"},
      {"without IPv6's table, the user's own listener", kNoNetlink, kRead, kMissing, kRelayed, "1000"},
      {"a part, the user's own listener", kNoNetlink, kRead, kForbidden, unreadable("/proc/net/tcp6"), "1000"},
      {"tcp6 malformed", kNoNetlink, kRead, kMalformed, unreadable("/proc/net/tcp6")},
      {"tcp malformed, tcp6 forbidden", kNoNetlink, kMalformed, kForbidden, unreadable("/proc/net/tcp")},
      {"tcp unreadable", kNoNetlink, {Answer::kRefused, EIO}, kRead,
       "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }"},
      {"tcp6 past the descriptor limit", kNoNetlink, kRead, {Answer::kRefused, EMFILE}, too_many_files},
      {"netlink past the descriptor limit", {Answer::kRefused, EMFILE}, kRead, kRead, too_many_files},
      {"netlink malformed", kMalformed, kRead, kRead, unreadable("NETLINK_SOCK_DIAG")},
      {"netlink timed out", {Answer::kTimedOut, 0}, kRead, kRead,
       "Custom { kind: TimedOut, error: \"NETLINK_SOCK_DIAG: the kernel did not list the sockets within 1 s\" }"},
      {"netlink not asked", {}, kRead, kRead, unreadable("NETLINK_SOCK_DIAG")},
      {"the files not asked", kNoNetlink, {}, {}, unreadable("/proc/net/tcp")},
      {"a listing that left out FIN_WAIT2", kRead, {}, {}, unreadable("NETLINK_SOCK_DIAG"), "4242",
       kConnectionStates & ~(1u << TCP_FIN_WAIT2)},
      {"a listing of /proc that left out ESTABLISHED", kNoNetlink, kRead, kRead, unreadable("/proc/net/tcp"), "4242",
       kConnectionStates & ~(1u << TCP_ESTABLISHED)},
  };
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(c.name);
    PeerEvidence evidence = answered(c.netlink, c.tcp, c.tcp6, c.listener_uid);
    evidence.connection_states = c.states;
    EXPECT_EQ(verdict_of(evidence), c.verdict);
  }
}

TEST(PeerOwnerTest, MalformedProcLinesAreNotRows) {
  for (const std::string& line : std::vector<std::string>{
           "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode",
           held("0100007F:1ED2X", kV4Bridge, "4242"), held("100007F:1ED2", kV4Bridge, "4242"),
           held(kV4App, kV4Bridge, "-1"), row(kV4App, kV4Bridge, "01", "4242", "x"),
           "   3: 0100007F:1ED2 0100007F:C350 01", ""}) {
    EXPECT_FALSE(parse_proc_net_tcp_line(line)) << line;
  }
}

// An IPv6 listener on :: of another user, as inet_diag lists it, followed by
// the given attribute bytes.
std::string diag_listener(const std::vector<unsigned char>& attributes) {
  inet_diag_msg message{};
  message.idiag_family = AF_INET6;
  message.idiag_state = TCP_LISTEN;
  message.id.idiag_sport = htons(7890);
  message.idiag_uid = 4242;
  message.idiag_inode = 777;
  std::string payload(reinterpret_cast<const char*>(&message), sizeof message);
  payload.append(attributes.begin(), attributes.end());
  return payload;
}

// nla_len 5, type INET_DIAG_SKV6ONLY, one byte; padding to 8 is left to the
// caller.
const std::vector<unsigned char> kV6Only{5, 0, INET_DIAG_SKV6ONLY, 0, 1};

TEST(PeerOwnerTest, AnIpv6OnlyListenerTakesNoIpv4Connection) {
  struct DiagCase {
    const char* name;
    std::vector<unsigned char> attributes;
    std::optional<std::string> verdict;  // nothing: the message is malformed
  };
  const DiagCase cases[] = {
      {"IPv6-only", {5, 0, INET_DIAG_SKV6ONLY, 0, 1, 0, 0, 0}, kRelayed},
      {"dual-stack", {5, 0, INET_DIAG_SKV6ONLY, 0, 0, 0, 0, 0}, foreign(4242)},
      {"another attribute first", {5, 0, INET_DIAG_SHUTDOWN, 0, 0, 0, 0, 0, 5, 0, INET_DIAG_SKV6ONLY, 0, 1, 0, 0, 0},
       kRelayed},
      {"the last attribute unpadded", kV6Only, kRelayed},
      {"no attribute counts the listener", {}, foreign(4242)},
      {"an attribute longer than the message", {9, 0, INET_DIAG_SKV6ONLY, 0, 1}, std::nullopt},
      {"an attribute shorter than its header", {2, 0, INET_DIAG_SKV6ONLY, 0}, std::nullopt},
  };
  for (const DiagCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<TcpSocketRow> parsed = parse_inet_diag_message(diag_listener(c.attributes));
    ASSERT_EQ(parsed.has_value(), c.verdict.has_value());
    if (!parsed) continue;
    EXPECT_EQ(verdict_of(listed({*parsed})), *c.verdict);
  }
  EXPECT_FALSE(parse_inet_diag_message(diag_listener({}).substr(0, sizeof(inet_diag_msg) - 1)));
}

// One netlink message; its length counts no padding, which is added unless
// the message ends the datagram unpadded.
std::string netlink_message(std::uint16_t type, std::uint16_t flags, const std::string& payload, bool pad = true) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + payload.size());
  header.nlmsg_type = type;
  header.nlmsg_flags = flags;
  std::string message(reinterpret_cast<const char*>(&header), sizeof header);
  message += payload;
  if (pad) message.resize(NLMSG_ALIGN(message.size()), '\0');
  return message;
}

std::string errno_payload(int error) { return std::string(reinterpret_cast<const char*>(&error), sizeof error); }

TEST(PeerOwnerTest, ADatagramOfTheDiagAnswerParsesWholeOrNotAtAll) {
  struct Expected {
    std::size_t rows;
    bool more;
    int error;
  };
  struct DatagramCase {
    const char* name;
    std::string datagram;
    std::optional<Expected> expected;  // nothing: InvalidData
  };
  const std::string listed = netlink_message(SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, diag_listener(kV6Only));
  const std::string unpadded_last = netlink_message(SOCK_DIAG_BY_FAMILY, 0, diag_listener(kV6Only), false);
  const std::string corrupt_attribute =
      netlink_message(SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, diag_listener({12, 0, INET_DIAG_SKV6ONLY, 0, 1, 0, 0, 0}));
  const std::string done = netlink_message(NLMSG_DONE, NLM_F_MULTI, errno_payload(0));
  const DatagramCase cases[] = {
      {"a single socket whose last attribute ends the datagram unpadded", unpadded_last, Expected{1, false, 0}},
      {"a dump's rows, more to come", listed + listed, Expected{2, true, 0}},
      {"a dump's rows and its end", listed + listed + done, Expected{2, false, 0}},
      {"NLMSG_DONE alone", done, Expected{0, false, 0}},
      {"NLMSG_DONE of a dump that failed part way", netlink_message(NLMSG_DONE, NLM_F_MULTI, errno_payload(-ENOENT)),
       Expected{0, false, ENOENT}},
      {"NLMSG_ERROR 0, an acknowledgement", netlink_message(NLMSG_ERROR, 0, errno_payload(0)), Expected{0, false, 0}},
      {"NLMSG_ERROR with an errno", netlink_message(NLMSG_ERROR, 0, errno_payload(-EACCES)),
       Expected{0, false, EACCES}},
      {"NLMSG_ERROR without its errno", netlink_message(NLMSG_ERROR, 0, ""), std::nullopt},
      {"NLMSG_ERROR with a positive errno", netlink_message(NLMSG_ERROR, 0, errno_payload(EACCES)), std::nullopt},
      {"an empty datagram", "", std::nullopt},
      {"a truncated header", listed.substr(0, sizeof(nlmsghdr) - 1), std::nullopt},
      {"a length beyond the datagram", listed.substr(0, listed.size() - 8), std::nullopt},
      {"a length shorter than a header", netlink_message(SOCK_DIAG_BY_FAMILY, 0, "").replace(0, 1, 1, '\x08'),
       std::nullopt},
      {"bytes after the last message too few for a header", listed + std::string(4, '\0'), std::nullopt},
      {"a message of another type", netlink_message(NLMSG_NOOP, 0, ""), std::nullopt},
      {"a message whose attribute's length is corrupt", listed + corrupt_attribute + done, std::nullopt},
      {"a message too short for its socket", netlink_message(SOCK_DIAG_BY_FAMILY, 0, "x"), std::nullopt},
  };
  for (const DatagramCase& c : cases) {
    SCOPED_TRACE(c.name);
    const IoResult<DiagDatagram> parsed = parse_diag_datagram(c.datagram);
    if (!c.expected) {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error().debug_string(),
                "Custom { kind: InvalidData, error: \"NETLINK_SOCK_DIAG: the kernel's list of sockets could not be "
                "read whole\" }");
      continue;
    }
    ASSERT_TRUE(parsed) << parsed.error().debug_string();
    EXPECT_EQ(parsed->rows.size(), c.expected->rows);
    for (const TcpSocketRow& socket : parsed->rows) {
      EXPECT_EQ(socket.uid, 4242u);
      EXPECT_TRUE(socket.v6_only);
    }
    EXPECT_EQ(parsed->more, c.expected->more);
    EXPECT_EQ(parsed->error, c.expected->error);
  }
}

}  // namespace
}  // namespace trellune
