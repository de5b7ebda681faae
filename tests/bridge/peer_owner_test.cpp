#include "bridge/peer_owner.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace trellune {
namespace {

using Finding = PeerOwner::Finding;

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
// 6.17 list the latter with uid 0.
std::string held(const char* local, const char* remote, const char* uid) {
  return row(local, remote, "01", uid, "81234");
}
std::string unheld(const char* local, const char* remote, const char* state = "01") {
  return row(local, remote, state, "0", "0");
}
std::string listener(const char* local, const char* uid) { return row(local, "00000000:0000", "0A", uid, "777"); }
std::string listener6(const char* local, const char* uid) {
  return row(local, "00000000000000000000000000000000:0000", "0A", uid, "778");
}

constexpr const char* kV4Bridge = "0100007F:C350";
constexpr const char* kV4App = "0100007F:1ED2";
constexpr const char* kMappedBridge = "0000000000000000FFFF00000100007F:C350";
constexpr const char* kMappedApp = "0000000000000000FFFF00000100007F:1ED2";

struct ProcCase {
  const char* name;
  std::vector<std::string> lines;
  Finding finding;
  uid_t uid = 0;
  uid_t user = kUser;
};

TEST(PeerOwnerTest, ListedSocketsDecideTheOwner) {
  const ProcCase cases[] = {
      {"held end of another user", {held(kV4App, kV4Bridge, "4242")}, Finding::Foreign, 4242},
      {"v4-mapped end of a dual-stack listener", {held(kMappedApp, kMappedBridge, "4242")}, Finding::Foreign, 4242},
      {"held end of this user", {held(kV4App, kV4Bridge, "1000")}, Finding::Trusted, 1000},
      {"a peer that has closed its end still names its owner",
       {row(kV4App, kV4Bridge, "08", "4242", "81234")},
       Finding::Foreign,
       4242},
      {"an end not accepted yet is judged by its listener",
       {unheld(kV4App, kV4Bridge), listener("0100007F:1ED2", "4242")},
       Finding::Foreign,
       4242},
      {"a request socket under TCP_DEFER_ACCEPT, listener of this user",
       {unheld(kV4App, kV4Bridge, "03"), listener("0100007F:1ED2", "1000")},
       Finding::Trusted,
       1000},
      {"listener on 0.0.0.0", {listener("00000000:1ED2", "4242")}, Finding::Foreign, 4242},
      {"listener on ::", {listener6("00000000000000000000000000000000:1ED2", "4242")}, Finding::Foreign, 4242},
      {"listener on ::ffff:127.0.0.1", {listener6("0000000000000000FFFF00000100007F:1ED2", "4242")},
       Finding::Foreign, 4242},
      {"listeners elsewhere take no connection to 127.0.0.1:7890",
       {listener("0100007F:1ED3", "4242"), listener("0200007F:1ED2", "4242"),
        listener6("00000000000000000000000001000000:1ED2", "4242")},
       Finding::Nobody},
      {"a foreign listener refuses though the held end is this user's",
       {held(kV4App, kV4Bridge, "1000"), listener("00000000:1ED2", "4242")},
       Finding::Foreign,
       4242},
      {"root's listener and this user's end", {held(kV4App, kV4Bridge, "1000"), listener(kV4App, "0")},
       Finding::Trusted, 0},
      {"the overflow uid is unknown", {listener(kV4App, "65534")}, Finding::Unmapped, kOverflow},
      {"the overflow uid is unknown even to a bridge running as it",
       {held(kV4App, kV4Bridge, "65534")},
       Finding::Unmapped,
       kOverflow,
       kOverflow},
      {"a foreign uid is named before the overflow uid",
       {listener(kV4App, "65534"), held(kV4App, kV4Bridge, "4242")},
       Finding::Foreign,
       4242},
      {"nothing in this namespace answers",
       {held(kV4App, "0100007F:C351", "4242"), held(kV4App, "0200007F:C350", "4242"),
        held(kV4Bridge, kV4App, "4242")},
       Finding::Nobody},
      {"redirected to another local port", {held("0100007F:1F90", kV4Bridge, "4242")}, Finding::Foreign, 4242},
      {"of redirected candidates the foreign one counts",
       {held("0100007F:1F90", kV4Bridge, "1000"), held("0100007F:1F91", kV4Bridge, "4242"),
        held("0100007F:1F92", kV4Bridge, "0")},
       Finding::Foreign,
       4242},
      {"the exact end outweighs another connection from the same port",
       {held("0100007F:1F90", kV4Bridge, "4242"), unheld(kV4App, kV4Bridge), listener(kV4App, "1000")},
       Finding::Trusted,
       1000},
  };
  for (const ProcCase& c : cases) {
    SCOPED_TRACE(c.name);
    PeerSearch search(kBridge, OwnerTrust{c.user, kOverflow});
    for (const std::string& line : c.lines) {
      const std::optional<TcpSocketRow> parsed = parse_proc_net_tcp_line(line);
      ASSERT_TRUE(parsed) << line;
      search.consider(*parsed);
    }
    const PeerOwner verdict = search.verdict();
    EXPECT_EQ(verdict.finding, c.finding);
    if (c.finding != Finding::Nobody) {
      EXPECT_EQ(verdict.uid, c.uid);
    }
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

TEST(PeerOwnerTest, AnIpv6OnlyListenerTakesNoIpv4Connection) {
  struct DiagCase {
    const char* name;
    std::vector<unsigned char> attributes;
    std::optional<Finding> finding;  // nothing: the message is malformed
  };
  // nla_len 5, type INET_DIAG_SKV6ONLY, one byte, padding to 8.
  const DiagCase cases[] = {
      {"IPv6-only", {5, 0, INET_DIAG_SKV6ONLY, 0, 1, 0, 0, 0}, Finding::Nobody},
      {"dual-stack", {5, 0, INET_DIAG_SKV6ONLY, 0, 0, 0, 0, 0}, Finding::Foreign},
      {"another attribute first", {5, 0, INET_DIAG_SHUTDOWN, 0, 0, 0, 0, 0, 5, 0, INET_DIAG_SKV6ONLY, 0, 1, 0, 0, 0},
       Finding::Nobody},
      {"no attribute counts the listener", {}, Finding::Foreign},
      {"an attribute longer than the message", {9, 0, INET_DIAG_SKV6ONLY, 0, 1}, std::nullopt},
      {"an attribute shorter than its header", {2, 0, INET_DIAG_SKV6ONLY, 0}, std::nullopt},
  };
  for (const DiagCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<TcpSocketRow> parsed = parse_inet_diag_message(diag_listener(c.attributes));
    ASSERT_EQ(parsed.has_value(), c.finding.has_value());
    if (!parsed) continue;
    PeerSearch search(kBridge, OwnerTrust{kUser, kOverflow});
    search.consider(*parsed);
    EXPECT_EQ(search.verdict().finding, *c.finding);
  }
  EXPECT_FALSE(parse_inet_diag_message(diag_listener({}).substr(0, sizeof(inet_diag_msg) - 1)));
}

}  // namespace
}  // namespace trellune
