#include "bridge/peer_owner.hpp"

#include <gtest/gtest.h>

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

std::string row(const char* local, const char* remote, const char* state, const char* uid) {
  return std::string("   3: ") + local + " " + remote + " " + state +
         " 00000000:00000000 00:00000000 00000000  " + uid + "        0 81234 1 0000000000000000 20 4 30 10 -1";
}

constexpr const char* kV4Bridge = "0100007F:C350";
constexpr const char* kV4App = "0100007F:1ED2";
constexpr const char* kMappedBridge = "0000000000000000FFFF00000100007F:C350";
constexpr const char* kMappedApp = "0000000000000000FFFF00000100007F:1ED2";

struct ProcCase {
  const char* name;
  std::vector<std::string> lines;
  std::optional<uid_t> owner;
};

TEST(PeerOwnerTest, ProcNetTcpRowsNameThePeersOwner) {
  const ProcCase cases[] = {
      {"IPv4 row of the peer", {row(kV4App, kV4Bridge, "01", "4242")}, 4242},
      {"v4-mapped tcp6 row of a dual-stack listener", {row(kMappedApp, kMappedBridge, "01", "4242")}, 4242},
      {"TIME_WAIT row of the same ports has no owner", {row(kV4App, kV4Bridge, "06", "0")}, std::nullopt},
      {"SYN_RECV row has no owner", {row(kV4App, kV4Bridge, "03", "0")}, std::nullopt},
      {"a peer that has closed its end still names its owner", {row(kV4App, kV4Bridge, "05", "4242")}, 4242},
      {"a stale row does not hide the established one",
       {row(kV4App, kV4Bridge, "06", "0"), row(kMappedApp, kMappedBridge, "01", "4242")},
       4242},
      {"another bridge port is another connection", {row(kV4App, "0100007F:C351", "01", "4242")}, std::nullopt},
      {"another bridge address is another connection", {row(kV4App, "0200007F:C350", "01", "4242")}, std::nullopt},
      {"the bridge's own socket is not its peer", {row(kV4Bridge, kV4App, "01", "1000")}, std::nullopt},
      {"redirected to another local port", {row("0100007F:1F90", kV4Bridge, "01", "4242")}, 4242},
      {"of redirected candidates the foreign one counts",
       {row("0100007F:1F90", kV4Bridge, "01", "1000"), row("0100007F:1F91", kV4Bridge, "01", "4242"),
        row("0100007F:1F92", kV4Bridge, "01", "0")},
       4242},
      {"the exact peer outweighs another connection from the same port",
       {row("0100007F:1F90", kV4Bridge, "01", "4242"), row(kV4App, kV4Bridge, "01", "1000")},
       1000},
      {"header and malformed lines",
       {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode",
        row("0100007F:1ED2X", kV4Bridge, "01", "4242"), row("100007F:1ED2", kV4Bridge, "01", "4242"),
        row(kV4App, kV4Bridge, "01", "-1"), "   3: 0100007F:1ED2 0100007F:C350 01", ""},
       std::nullopt},
  };
  for (const ProcCase& c : cases) {
    SCOPED_TRACE(c.name);
    PeerSearch search(kBridge, kUser);
    for (const std::string& line : c.lines) {
      if (std::optional<TcpSocketRow> parsed = parse_proc_net_tcp_line(line)) search.consider(*parsed);
    }
    EXPECT_EQ(search.owner(), c.owner);
  }
}

}  // namespace
}  // namespace trellune
