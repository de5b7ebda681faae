// The real executable with faults injected into its system calls by the
// preload library: interrupted and short calls lose and reorder nothing, and
// each failure that cannot otherwise be provoked ends the bridge with its
// exact error line after everything before it was delivered.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.hpp"
#include "support/confined_child.hpp"
#include "support/tcp_peer.hpp"

namespace trellune {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::exited_with;
using testing::ExitStatus;
using namespace std::chrono_literals;

using Environment = std::vector<std::pair<std::string, std::string>>;

// A bridge against a listener, its environment extended by `faults`.
struct Session {
  explicit Session(const Environment& faults) : child(start(listener, faults)), peer(listener.accept()) {}

  static Child start(const testing::TcpListener& l, const Environment& faults) {
    ChildOptions options;
    options.env = {{"TRELLUNE_MCP_PORT", std::to_string(l.port())}, {"TRELLUNE_MCP_TOKEN", "tok"}};
    if (!faults.empty()) options.env.emplace_back("LD_PRELOAD", TRELLUNE_FAULT_INJECTION_LIBRARY);
    options.env.insert(options.env.end(), faults.begin(), faults.end());
    return Child::spawn(testing::bridge_command(), options);
  }

  testing::TcpListener listener;
  Child child;
  testing::TcpConnection peer;
};

// ---------------------------------------------------------------------------
// Randomized traffic under interrupted and short calls

std::vector<std::string> mixed_requests() {
  constexpr int kLines = 2500;
  std::mt19937_64 random(20261208);
  const char* const texts[] = {"plain text", "caf\xc3\xa9 \xe5\xad\x97 \xf0\x9f\x98\x80", "{not json", "[1, 2.5e3]"};
  std::vector<std::string> lines;
  for (int i = 0; i < kLines; ++i) {
    const std::string id = std::to_string(i);
    switch (random() % 6) {
      case 0: lines.push_back("{\"id\":" + id + ",\"method\":\"tools/call\",\"token\":0}"); break;
      case 1: lines.push_back(texts[random() % 4] + (" " + id)); break;
      case 2: lines.push_back(R"({"s":"\n\t\"\\\u00e9\ud83d\ude00", "z": [1, {"y": null}], "a": )" + id + "}"); break;
      case 3: lines.push_back("{\"b\":\"" + std::string(8192 + random() % 20000, 'b') + "\",\"id\":" + id + "}"); break;
      case 4: lines.push_back(std::string(8192 + random() % 20000, 't') + id); break;
      default: lines.push_back("{\"\xc3\xa9\":\"\xe2\x82\xac\",\"id\":" + id + "}"); break;
    }
  }
  for (const int at : {400, 1300, 2200}) {
    lines[static_cast<std::size_t>(at)] = at % 2 == 0 ? "{\"big\":\"" + std::string(1 << 20, 'B') + "\"}"
                                                      : std::string(1 << 20, 'L');
  }
  return lines;
}

std::string reply_to(std::size_t i) {
  return i % 500 == 7 ? std::string(1 << 20, 'R') : i % 40 == 3 ? std::string(5000, 'r') : "reply " + std::to_string(i);
}

struct Traffic {
  std::string at_peer;   // every line the application received, in order
  std::string replies;   // every reply line the client received, in order
  ExitStatus status;
  std::string error_text;
};

Traffic relay(const std::vector<std::string>& requests, const Environment& faults) {
  Session session(faults);
  Traffic traffic;
  std::string expected_replies;
  for (std::size_t i = 0; i < requests.size(); ++i) expected_replies += reply_to(i) + "\n";

  std::thread client([&] {
    for (const std::string& line : requests) {
      if (!session.child.write_stdin(line + "\n")) break;
    }
    session.child.close_stdin();
  });
  std::thread application([&] {
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const std::string line = session.peer.read_line(30s);
      traffic.at_peer += line;
      if (line.empty() || !session.peer.write(reply_to(i) + "\n")) break;
    }
    traffic.at_peer += session.peer.read_until_eof(30s);
  });
  traffic.replies = session.child.read_stdout(expected_replies.size(), 60s);
  client.join();
  application.join();
  traffic.status = session.child.wait(30s);
  traffic.error_text = session.child.stderr_text();
  return traffic;
}

struct RandomCase {
  const char* seed;
  const char* interrupt_percent;
  const char* short_percent;
};

constexpr RandomCase kRandomCases[] = {{"1", "10", "30"}, {"2", "30", "10"}, {"3", "20", "20"}};

TEST(FaultInjectionTest, InterruptedAndShortCallsLoseNothing) {
  const std::vector<std::string> requests = mixed_requests();
  const Traffic clean = relay(requests, {});
  ASSERT_EQ(clean.status, exited_with(0));
  std::string expected_replies;
  for (std::size_t i = 0; i < requests.size(); ++i) expected_replies += reply_to(i) + "\n";
  ASSERT_EQ(clean.replies, expected_replies);

  for (const RandomCase& c : kRandomCases) {
    SCOPED_TRACE(std::string("seed ") + c.seed);
    const Traffic faulty = relay(requests, {{"TRELLUNE_FAULT_SEED", c.seed},
                                            {"TRELLUNE_FAULT_INTERRUPT_PERCENT", c.interrupt_percent},
                                            {"TRELLUNE_FAULT_SHORT_PERCENT", c.short_percent}});
    EXPECT_TRUE(faulty.at_peer == clean.at_peer);  // megabytes: no dump of the difference
    EXPECT_TRUE(faulty.replies == expected_replies);
    EXPECT_EQ(faulty.status, exited_with(0));
    EXPECT_EQ(faulty.error_text, "");
  }
}

// ---------------------------------------------------------------------------
// One failing call after two round trips went through

struct FailureCase {
  const char* name;
  const char* call;
  int error;
  const char* after;  // calls of that name that pass first
  const char* error_line;
  const char* at_peer;
  const char* replies;
};

// One read, one write, one recv and one sendmsg carry each round trip. A reply
// whose write failed stays buffered and leaves in the last flush at exit.
constexpr FailureCase kFailureCases[] = {
    {"EIO reading standard input", "read", EIO, "2",
     "Error: Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }\n", "q1\nq2\n", "r1\nr2\n"},
    {"ENOSPC writing standard output", "write", ENOSPC, "2",
     "Error: Os { code: 28, kind: StorageFull, message: \"No space left on device\" }\n", "q1\nq2\nq3\n",
     "r1\nr2\nr3\n"},
    {"EIO writing standard output", "write", EIO, "2",
     "Error: Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }\n", "q1\nq2\nq3\n",
     "r1\nr2\nr3\n"},
    {"ECONNRESET on recv", "recv", ECONNRESET, "2",
     "Error: Os { code: 104, kind: ConnectionReset, message: \"Connection reset by peer\" }\n", "q1\nq2\nq3\n",
     "r1\nr2\n"},
    {"EPIPE on sendmsg", "sendmsg", EPIPE, "2",
     "Error: Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }\n", "q1\nq2\n", "r1\nr2\n"},
    {"EINTR on recv is an error", "recv", EINTR, "2",
     "Error: Os { code: 4, kind: Interrupted, message: \"Interrupted system call\" }\n", "q1\nq2\nq3\n", "r1\nr2\n"},
    {"EINTR on sendmsg is an error", "sendmsg", EINTR, "2",
     "Error: Os { code: 4, kind: Interrupted, message: \"Interrupted system call\" }\n", "q1\nq2\n", "r1\nr2\n"},
};

TEST(FaultInjectionTest, FailingCallEndsTheBridgeAfterEverythingBefore) {
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    Session session({{"TRELLUNE_FAULT_FAIL_CALL", c.call},
                     {"TRELLUNE_FAULT_FAIL_ERRNO", std::to_string(c.error)},
                     {"TRELLUNE_FAULT_FAIL_AFTER", c.after}});
    ASSERT_TRUE(session.peer.valid());
    std::string at_peer;
    for (const char* step : {"1", "2", "3"}) {
      if (!session.child.write_stdin(std::string("q") + step + "\n")) break;
      const std::string line = session.peer.read_line();
      at_peer += line;
      if (line.empty() || !session.peer.write(std::string("r") + step + "\n")) break;
      (void)session.child.read_stdout_line(2s);  // one round trip at a time
    }
    at_peer += session.peer.read_until_eof();
    EXPECT_EQ(session.child.wait(), exited_with(1));
    EXPECT_EQ(session.child.stderr_text(), c.error_line);
    EXPECT_EQ(at_peer, c.at_peer);
    EXPECT_EQ(session.child.stdout_text(), c.replies);
  }
}

// ---------------------------------------------------------------------------
// A compromised bridge

// The library plays code that a crafted request got running, at the first
// send: confined since its connection was vetted, the bridge is refused all
// of it, and the request still goes out and its reply comes back. Where an
// attempt names another process, it is a child of this test's own.
TEST(FaultInjectionTest, ConfinedBridgeCanDoNothingButRelay) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  const pid_t target = ::fork();
  if (target == 0) {
    ::alarm(60);  // outlives no test run, whatever happens to this one
    for (;;) ::pause();
  }
  ASSERT_GT(target, 0);
  Session session(Environment{{"TRELLUNE_FAULT_TRY_ESCAPE", "1"},
                              {"TRELLUNE_FAULT_ESCAPE_TARGET", std::to_string(target)}});
  ASSERT_TRUE(session.child.write_stdin("{\"id\":1}\n"));
  EXPECT_EQ(session.peer.read_line(), "{\"id\":1,\"token\":\"tok\"}\n");
  ASSERT_TRUE(session.peer.write("r1\n"));
  EXPECT_EQ(session.child.read_stdout_line(), "r1\n");
  session.child.close_stdin();
  EXPECT_EQ(session.child.wait(), exited_with(0));
  ::kill(target, SIGKILL);
  ::waitpid(target, nullptr, 0);
  std::string refused;
  for (const char* call : {"openat", "socket", "execve", "ptrace", "clone with new namespaces"}) {
    refused += std::string(call) + ": EPERM\n";
  }
  // Said not to exist, so that glibc falls back to clone.
  refused += "clone3 with new namespaces: ENOSYS\n";
  for (const char* call :
       {"fork", "clone of a thread", "prctl PR_SET_PDEATHSIG", "write to the connection", "read of standard output",
        "sendmsg SCM_RIGHTS on standard output", "fcntl F_SETOWN", "prlimit64", "setpriority", "sched_setaffinity",
        "shmget", "mq_open", "inotify_init1", "newfstatat", "readlinkat", "fchmod", "memfd_create", "mmap PROT_EXEC",
        "mmap of a descriptor", "mremap MREMAP_DONTUNMAP", "futex FUTEX_LOCK_PI", "ioctl TCSETS"}) {
    refused += std::string(call) + ": EPERM\n";
  }
  EXPECT_EQ(session.child.stderr_text(), refused);
}

}  // namespace
}  // namespace trellune
