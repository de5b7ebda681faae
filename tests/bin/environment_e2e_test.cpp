// The real executable in the environments clients and systems hand it: a
// port inside the ephemeral range with nothing listening, standard streams
// whose shared open file descriptions are non-blocking, signals while it
// waits, and tight descriptor limits.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/child_process.hpp"
#include "support/tcp_peer.hpp"

namespace trellune {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::exited_with;
using namespace std::chrono_literals;

constexpr std::string_view kRefused =
    "Error: Os { code: 111, kind: ConnectionRefused, message: \"Connection refused\" }\n";

// In a network namespace of its own, whose ephemeral range is the one port
// the bridge connects to, every connect() picks that port as its source and
// meets itself. Exit status 77 from the set-up script means it could not run.
TEST(SelfConnectTest, ConnectionToItselfIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
  constexpr const char* kSetUp =
      "ip link set lo up && echo '40000 40000' > /proc/sys/net/ipv4/ip_local_port_range || exit 77; exec \"$0\" \"$@\"";
  for (int attempt = 0; attempt < 3; ++attempt) {
    SCOPED_TRACE(attempt);
    ChildOptions options;
    options.args = {"--net", "/bin/sh", "-c", kSetUp};
    for (std::string& word : testing::bridge_command()) options.args.push_back(std::move(word));
    options.env = {{"TRELLUNE_MCP_PORT", "40000"}, {"TRELLUNE_MCP_TOKEN", "secret"}};
    Child child = Child::spawn({"/usr/bin/unshare"}, options);
    ASSERT_TRUE(child.write_stdin("{\"id\":1}\n"));
    const testing::ExitStatus status = child.wait();
    if (status == exited_with(77) || child.stderr_text().starts_with("unshare:")) {
      GTEST_SKIP() << "no private network namespace here: " << child.stderr_text();
    }
    EXPECT_EQ(status, exited_with(1));
    EXPECT_EQ(child.stderr_text(), kRefused);
    EXPECT_EQ(child.stdout_text(), "");  // the stamped request never comes back
    EXPECT_EQ(child.unread_stdin(), "{\"id\":1}\n");
  }
}

struct NonblockingCase {
  const char* name;
  std::chrono::milliseconds before_each_request;  // the client writes late
  std::size_t reply_length;
  std::chrono::milliseconds before_reading;  // the client reads late
};

constexpr NonblockingCase kNonblockingCases[] = {
    {"requests written late", 500ms, 10, 0ms},
    {"1 MB reply read late", 0ms, 1 << 20, 500ms},
};

TEST(NonblockingStdioTest, RequestsAndRepliesWaitForTheirStream) {
  for (const NonblockingCase& c : kNonblockingCases) {
    SCOPED_TRACE(c.name);
    testing::TcpListener listener;
    ChildOptions options;
    options.nonblocking_pipes = true;
    options.env = {{"TRELLUNE_MCP_PORT", std::to_string(listener.port())}, {"TRELLUNE_MCP_TOKEN", "t"}};
    Child child = Child::spawn(testing::bridge_command(), options);
    testing::TcpConnection peer = listener.accept();
    ASSERT_TRUE(peer.valid());
    for (const char* request : {"one\n", "two\n"}) {
      std::this_thread::sleep_for(c.before_each_request);
      ASSERT_TRUE(child.write_stdin(request));
      EXPECT_EQ(peer.read_line(), request);
      const std::string reply = std::string(c.reply_length, request[0]) + "\n";
      ASSERT_TRUE(peer.write(reply));
      std::this_thread::sleep_for(c.before_reading);
      EXPECT_EQ(child.read_stdout(reply.size()), reply);
    }
    child.close_stdin();
    EXPECT_EQ(child.wait(), exited_with(0));
    EXPECT_EQ(child.stderr_text(), "");
  }
}

// Standard error shared with other writers may be a full non-blocking pipe
// when the bridge has its one line to say; the line waits for room.
TEST(NonblockingStdioTest, DiagnosticWaitsForAFullStandardError) {
  struct Case {
    const char* name;
    bool configured;
    int status;
    std::string_view line;
  };
  const Case cases[] = {
      {"unusable environment", false, 2,
       "trellune-mcp: \xe7\xbc\xba\xe5\xb0\x91 TRELLUNE_MCP_PORT / TRELLUNE_MCP_TOKEN"
       "\xef\xbc\x8c\xe9\x80\x80\xe5\x87\xba\n"},
      {"refused connection", true, 1, kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildOptions options;
    options.full_nonblocking_stderr = true;
    if (c.configured) {
      options.env = {{"TRELLUNE_MCP_PORT", std::to_string(testing::unused_port())}, {"TRELLUNE_MCP_TOKEN", "t"}};
    }
    Child child = Child::spawn(testing::bridge_command(), options);
    std::this_thread::sleep_for(300ms);  // the bridge meets the full pipe before anyone reads it
    EXPECT_EQ(child.wait(), exited_with(c.status));
    const std::string& err = child.stderr_text();
    ASSERT_GT(err.size(), c.line.size());
    EXPECT_EQ(err.substr(err.size() - c.line.size()), c.line);
    EXPECT_EQ(err.find_first_not_of('\0'), err.size() - c.line.size());
  }
}

// Stop and continue, and signals whose default is to be ignored, interrupt
// the bridge in each of its waits; none may cost a byte or end it.
enum class Wait { kRequest, kReply, kReader };

struct SignalCase {
  const char* name;
  Wait wait;
};

constexpr SignalCase kSignalCases[] = {
    {"waiting for a request", Wait::kRequest},
    {"awaiting a reply", Wait::kReply},
    {"writing a reply nobody reads yet", Wait::kReader},
};

TEST(SignalTest, StopContinueAndIgnoredSignalsChangeNothing) {
  for (const SignalCase& c : kSignalCases) {
    SCOPED_TRACE(c.name);
    testing::TcpListener listener;
    ChildOptions options;
    options.env = {{"TRELLUNE_MCP_PORT", std::to_string(listener.port())}, {"TRELLUNE_MCP_TOKEN", "t"}};
    Child child = Child::spawn(testing::bridge_command(), options);
    testing::TcpConnection peer = listener.accept();
    ASSERT_TRUE(peer.valid());
    const std::string reply = std::string(c.wait == Wait::kReader ? 1 << 20 : 10, 'r') + "\n";
    const auto pelt = [&child] {
      for (int round = 0; round < 20; ++round) {
        for (const int signal : {SIGWINCH, SIGCHLD, SIGURG, SIGSTOP, SIGCONT}) {
          ::kill(child.pid(), signal);
          std::this_thread::sleep_for(2ms);
        }
      }
    };
    if (c.wait == Wait::kRequest) pelt();
    ASSERT_TRUE(child.write_stdin("q\n"));
    EXPECT_EQ(peer.read_line(), "q\n");
    if (c.wait == Wait::kReply) pelt();
    ASSERT_TRUE(peer.write(reply));
    if (c.wait == Wait::kReader) pelt();
    EXPECT_EQ(child.read_stdout(reply.size()), reply);
    child.close_stdin();
    EXPECT_EQ(child.wait(), exited_with(0));
    EXPECT_EQ(child.stderr_text(), "");
  }
}

// A bridge whose client is gone ends, though its standard input stays open
// elsewhere (here, in this process): the kernel kills it as the thread that
// started it ends. Until then its session goes on. The client is a shell
// that starts the bridge in the background with its own standard streams
// (an asynchronous list reads /dev/null unless told otherwise, hence fd 3);
// this process takes the orphaned bridge in, to see how it ended.
TEST(ParentDeathTest, TheBridgeEndsWithTheProcessThatStartedIt) {
  testing::TcpListener listener;
  ChildOptions options;
  options.args = {"-c", "exec 3<&0; \"$@\" <&3 3<&- & echo $!; wait", "sh"};
  for (std::string& word : testing::bridge_command()) options.args.push_back(std::move(word));
  options.env = {{"TRELLUNE_MCP_PORT", std::to_string(listener.port())}, {"TRELLUNE_MCP_TOKEN", "t"}};
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    GTEST_SKIP() << "this process can't take orphans in (PR_SET_CHILD_SUBREAPER: " << std::strerror(errno)
                 << "), as under qemu-user";
  }
  Child client = Child::spawn({"/bin/sh"}, options);
  const pid_t bridge = static_cast<pid_t>(std::atol(client.read_stdout_line().c_str()));
  ASSERT_GT(bridge, 0);
  testing::TcpConnection peer = listener.accept();
  ASSERT_TRUE(client.write_stdin("{\"id\":1}\n"));
  EXPECT_EQ(peer.read_line(), "{\"id\":1,\"token\":\"t\"}\n");
  ASSERT_TRUE(peer.write("r\n"));
  EXPECT_EQ(client.read_stdout_line(), "r\n");

  ::kill(client.pid(), SIGKILL);
  EXPECT_EQ(client.wait(), testing::killed_by(SIGKILL));
  int status = 0;
  pid_t reaped = 0;
  for (int tries = 0; tries < 500 && (reaped = ::waitpid(bridge, &status, WNOHANG)) == 0; ++tries) {
    std::this_thread::sleep_for(10ms);
  }
  if (reaped == 0) {
    ::kill(bridge, SIGKILL);
    ::waitpid(bridge, nullptr, 0);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  ASSERT_EQ(reaped, bridge) << "the bridge outlived its client by 5 s";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

struct ResourceLimitCase {
  const char* limit;  // ulimit's option and value
  testing::ExitStatus status;
  std::string_view error_start;
  std::size_t reply_length;
};

const ResourceLimitCase kResourceLimitCases[] = {
    // Descriptors 0 to 2, then the reactor's epoll and eventfd, then the
    // socket, then one at a time for the lookup of its peer's owner.
    {"-n 4", testing::killed_by(SIGABRT), "\ntrellune-mcp: fatal error in thread 'main'", 1},
    {"-n 5", exited_with(1), "Error: Os { code: 24, kind: Uncategorized, message: \"Too many open files\" }\n", 1},
    {"-n 6", exited_with(1), "Error: Os { code: 24, kind: Uncategorized, message: \"Too many open files\" }\n", 1},
    {"-n 7", exited_with(0), "", 1},
    // Address space (KiB): the worker's stack is reserved small, so the bridge
    // starts its worker and relays what fits.
    {"-v 6144", exited_with(0), "", 10},
    {"-v 16384", exited_with(0), "", 1 << 20},
    // The line is assembled whole before it is written: a string that grows
    // by doubling holds its old and new buffers at once, 3 bytes a byte.
    {"-v 65536", exited_with(0), "", 16 << 20},
    // A reply that doesn't fit: the allocation's failure ends the bridge with
    // its report, through the abort path its sandbox leaves it.
    {"-v 16384", testing::killed_by(SIGABRT), "\ntrellune-mcp: fatal error in thread 'main' at src/base/fatal.cpp:",
     12 << 20},
};

TEST(ResourceLimitTest, TightLimits) {
#ifdef TRELLUNE_SANITIZED
  // UBSan probes memory through a pipe of its own, and the sanitizer runtimes
  // reserve address space far beyond these limits.
  GTEST_SKIP() << "the sanitizer runtimes need descriptors and address space of their own";
#endif
#ifdef TRELLUNE_TEST_EMULATED
  GTEST_SKIP() << "qemu-user needs descriptors and address space of its own";
#endif
  for (const ResourceLimitCase& c : kResourceLimitCases) {
    SCOPED_TRACE(std::string("ulimit ") + c.limit);
    const bool relays = c.status == exited_with(0);
    testing::TcpListener listener;
    ChildOptions options;
    options.args = {"-c", std::string("ulimit ") + c.limit + " && exec \"$0\" \"$@\""};
    for (std::string& word : testing::bridge_command()) options.args.push_back(std::move(word));
    options.env = {{"TRELLUNE_MCP_PORT", std::to_string(listener.port())}, {"TRELLUNE_MCP_TOKEN", "t"}};
    Child child = Child::spawn({"/bin/sh"}, options);
    ASSERT_TRUE(child.write_stdin("q\n"));
    const std::string reply = std::string(c.reply_length, 'r') + "\n";
    testing::TcpConnection peer = listener.accept(relays ? 10s : 200ms);
    if (peer.valid() && peer.read_line() == "q\n") peer.write(reply);
    child.close_stdin();
    EXPECT_EQ(child.wait(), c.status);
    EXPECT_TRUE(child.stderr_text().starts_with(c.error_start)) << child.stderr_text();
    EXPECT_EQ(child.stdout_text(), relays ? reply : "");
  }
}

}  // namespace
}  // namespace trellune
