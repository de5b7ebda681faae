// The real executable with an unusable environment: the fixed diagnostic,
// status 2, and nothing else happens.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/child_process.hpp"
#include "support/tcp_peer.hpp"

namespace trellune {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::exited_with;

constexpr std::string_view kDiagnostic =
    "trellune-mcp: \xe7\xbc\xba\xe5\xb0\x91 TRELLUNE_MCP_PORT / TRELLUNE_MCP_TOKEN"
    "\xef\xbc\x8c\xe9\x80\x80\xe5\x87\xba\n";

struct EnvCase {
  const char* name;
  // "{port}" in a value stands for the listener's port, so a bridge that
  // wrongly accepted the value would connect to it.
  std::optional<std::string> port;
  std::optional<std::string> token;
};

std::string with_port(std::string text, std::uint16_t port) {
  const std::size_t at = text.find("{port}");
  if (at != std::string::npos) text.replace(at, 6, std::to_string(port));
  return text;
}

const EnvCase kUnusableEnvironments[] = {
    {"port absent", std::nullopt, "secret"},
    {"token absent", "{port}", std::nullopt},
    {"both absent", std::nullopt, std::nullopt},
    {"empty token", "{port}", ""},
    {"token not UTF-8", "{port}", "\xff\xfe"},
    {"empty port", "", "secret"},
    {"port zero", "0", "secret"},
    {"port plus zero", "+0", "secret"},
    {"port 65536", "65536", "secret"},
    {"port 99999", "99999", "secret"},
    {"port -1", "-1", "secret"},
    {"port +", "+", "secret"},
    {"port -", "-", "secret"},
    {"leading space", " {port}", "secret"},
    {"trailing space", "{port} ", "secret"},
    {"hexadecimal", "0x1bb", "secret"},
    {"decimal point", "{port}.0", "secret"},
    {"double plus", "++{port}", "secret"},
    {"port not UTF-8", "{port}\xff", "secret"},
};

TEST(StartupTest, UnusableEnvironmentGivesTheDiagnosticAndStatus2) {
  for (const EnvCase& c : kUnusableEnvironments) {
    SCOPED_TRACE(c.name);
    testing::TcpListener listener;
    ChildOptions options;
    if (c.port) options.env.emplace_back("TRELLUNE_MCP_PORT", with_port(*c.port, listener.port()));
    if (c.token) options.env.emplace_back("TRELLUNE_MCP_TOKEN", *c.token);
    Child child = Child::spawn(testing::bridge_command(), options);
    ASSERT_TRUE(child.write_stdin("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n"));

    EXPECT_EQ(child.wait(), exited_with(2));
    EXPECT_EQ(child.stderr_text(), kDiagnostic);
    EXPECT_EQ(child.stdout_text(), "");
    EXPECT_EQ(child.unread_stdin(), "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n");
    EXPECT_FALSE(listener.has_pending_connection());
  }
}

TEST(StartupTest, ArgumentsAreIgnored) {
  const std::vector<std::string> argument_sets[] = {
      {"--help"}, {"--version"}, {"-p", "1"}, {"--port=1", "extra", ""}};
  for (const auto& args : argument_sets) {
    SCOPED_TRACE(args.front());
    ChildOptions options;
    options.args = args;
    Child child = Child::spawn(testing::bridge_command(), options);
    EXPECT_EQ(child.wait(), exited_with(2));
    EXPECT_EQ(child.stderr_text(), kDiagnostic);
    EXPECT_EQ(child.stdout_text(), "");
  }
}

TEST(StartupTest, DiagnosticWithStandardDescriptorsClosed) {
  struct Closed {
    const char* name;
    bool in, out, err;
    bool expect_diagnostic;
  };
  const Closed cases[] = {
      {"stdin closed", true, false, false, true},
      {"stdout closed", false, true, false, true},
      // 2 becomes a duplicate of the /dev/null opened for 1: the diagnostic vanishes.
      {"stdout and stderr closed", false, true, true, false},
  };
  for (const Closed& c : cases) {
    SCOPED_TRACE(c.name);
    ChildOptions options;
    options.close_stdin = c.in;
    options.close_stdout = c.out;
    options.close_stderr = c.err;
    Child child = Child::spawn(testing::bridge_command(), options);
    EXPECT_EQ(child.wait(), exited_with(2));
    EXPECT_EQ(child.stderr_text(), c.expect_diagnostic ? kDiagnostic : "");
    EXPECT_EQ(child.stdout_text(), "");
  }
}

}  // namespace
}  // namespace trellune
