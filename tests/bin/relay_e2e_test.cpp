// The real executable between a pipe-driven client and a TCP peer on
// 127.0.0.1: exact bytes on every stream, exit statuses, standard error.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <csignal>
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
using testing::TcpConnection;
using testing::TcpListener;
using namespace std::chrono_literals;

constexpr const char* kToken = "T0k\"en";  // a quote, to see it escaped
constexpr const char* kStampedToken = R"("token":"T0k\"en")";

// A bridge started against a listener, with the application's connection
// accepted.
struct Session {
  explicit Session(ChildOptions options = {}) : child(start(listener, std::move(options))) {
    peer.emplace(listener.accept());
  }

  static Child start(TcpListener& l, ChildOptions options) {
    options.env.emplace_back("TRELLUNE_MCP_PORT", std::to_string(l.port()));
    options.env.emplace_back("TRELLUNE_MCP_TOKEN", kToken);
    return Child::spawn(testing::bridge_command(), options);
  }

  // Sends one request line and answers it; returns what the peer received.
  std::string round_trip(const std::string& request, const std::string& reply) {
    EXPECT_TRUE(child.write_stdin(request));
    std::string received = peer->read_line();
    EXPECT_TRUE(peer->write(reply));
    return received;
  }

  TcpListener listener;
  Child child;
  std::optional<TcpConnection> peer;
};

// ---------------------------------------------------------------------------
// Framing

struct FramingCase {
  const char* name;
  std::string client_writes;  // one request line, as the client writes it
  std::string peer_receives;
  std::string peer_replies = "ok\n";
  std::string client_reads = "ok\n";
};

TEST(RelayFramingTest, RequestLinesAreFramedExactly) {
  std::string big_reply;
  while (big_reply.size() < (3 << 20)) big_reply += "\xe2\x82\xac \xf0\x9f\x98\x80 a\r";
  const FramingCase cases[] = {
      {"LF", "abc\n", "abc\n"},
      {"CR LF", "abc\r\n", "abc\n"},
      {"CR CR LF keeps one CR", "abc\r\r\n", "abc\r\n"},
      {"CR inside a line", "a\rb\n", "a\rb\n"},
      {"NUL inside a line", std::string("a\0b\n", 4), std::string("a\0b\n", 4)},
      {"object with CR LF", "{\"id\":1}\r\n", std::string("{\"id\":1,") + kStampedToken + "}\n"},
      {"long line", std::string(30000, 'x') + "\n", std::string(30000, 'x') + "\n"},
      {"long object line, stamped whole", "{\"text\":\"" + std::string(50000, 'q') + "\",\"id\":7}\n",
       "{\"id\":7,\"text\":\"" + std::string(50000, 'q') + "\"," + kStampedToken + "}\n"},
      // Read in pieces that grow while they fill.
      {"reply of megabytes", "q\n", "q\n", big_reply + "\r\n", big_reply + "\n"},
  };
  for (const FramingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Session session;
    ASSERT_TRUE(session.peer->valid());
    EXPECT_EQ(session.round_trip(c.client_writes, c.peer_replies), c.peer_receives);
    EXPECT_EQ(session.child.read_stdout_line(), c.client_reads);
    session.child.close_stdin();
    EXPECT_EQ(session.child.wait(), exited_with(0));
    EXPECT_EQ(session.child.stderr_text(), "");
  }
}

TEST(RelayFramingTest, LastLineWithoutNewlineIsForwarded) {
  Session session;
  ASSERT_TRUE(session.child.write_stdin("first\nlast\r"));
  EXPECT_EQ(session.peer->read_line(), "first\n");
  session.peer->write("1\n");
  session.child.close_stdin();
  EXPECT_EQ(session.peer->read_line(), "last\r\n");  // the CR is not before a newline: kept
  session.peer->write("2\n");
  EXPECT_EQ(session.child.wait(), exited_with(0));
  EXPECT_EQ(session.child.stdout_text(), "1\n2\n");
  EXPECT_TRUE(session.peer->read_until_eof().empty());
  EXPECT_TRUE(session.peer->eof_seen());
}

TEST(RelayFramingTest, TwoRequestsInOneWriteAreRelayedInTurn) {
  Session session;
  ASSERT_TRUE(session.child.write_stdin("one\ntwo\n"));
  EXPECT_EQ(session.peer->read_line(), "one\n");
  // The second request is not sent before the first reply.
  EXPECT_EQ(session.peer->read_line(200ms), "");
  session.peer->write("1\n");
  EXPECT_EQ(session.peer->read_line(), "two\n");
  session.peer->write("2\n");
  EXPECT_EQ(session.child.read_stdout(4), "1\n2\n");
}

TEST(RelayFramingTest, RepliesAreFramedAndUnpromptedLinesAnswerTheNextRequest) {
  Session session;
  EXPECT_EQ(session.round_trip("a\n", "r1\r\nr2\n"), "a\n");
  EXPECT_EQ(session.child.read_stdout_line(), "r1\n");
  // r2 arrived before the second request and is taken as its reply.
  ASSERT_TRUE(session.child.write_stdin("b\n"));
  EXPECT_EQ(session.peer->read_line(), "b\n");
  EXPECT_EQ(session.child.read_stdout_line(), "r2\n");
  // An empty reply line is a bare newline.
  EXPECT_EQ(session.round_trip("c\n", "\n"), "c\n");
  EXPECT_EQ(session.child.read_stdout_line(), "\n");
  // A reply longer than the output buffer arrives whole.
  const std::string long_reply(5000, 'r');
  EXPECT_EQ(session.round_trip("d\n", long_reply + "\n"), "d\n");
  EXPECT_EQ(session.child.read_stdout_line(), long_reply + "\n");
}

// ---------------------------------------------------------------------------
// Blank lines, stamping and verbatim forwarding

TEST(RelayContentTest, BlankLinesAreSkipped) {
  Session session;
  ASSERT_TRUE(session.child.write_stdin("\n   \n\t\r\n\xc2\xa0\n\xe3\x80\x80 \xe2\x80\xa8\nreal\n"));
  EXPECT_EQ(session.peer->read_line(), "real\n");
  session.peer->write("ok\n");
  EXPECT_EQ(session.child.read_stdout_line(), "ok\n");
}

struct ContentCase {
  const char* name;
  std::string request;
  std::string sent;
};

TEST(RelayContentTest, ObjectsAreStampedAndEverythingElseGoesAsRead) {
  const std::string t = kStampedToken;
  const ContentCase cases[] = {
      {"members sorted", R"({"zeta":1,"alpha":2})", R"({"alpha":2,)" + t + R"(,"zeta":1})"},
      {"empty object after a space", " {}", "{" + t + "}"},
      {"existing token replaced", R"({"token":[1,{"x":2}],"id":3})", R"({"id":3,)" + t + "}"},
      {"spaces removed", R"({ "a" : 1 , "b" : [ 1 , 2 ] })", R"({"a":1,"b":[1,2],)" + t + "}"},
      {"nested token untouched", R"({"p":{"token":"own"}})", R"({"p":{"token":"own"},)" + t + "}"},
      {"numbers normalised", R"({"a":-0,"b":1E2,"c":0.10,"d":3e23,"e":-7})",
       R"({"a":-0.0,"b":100.0,"c":0.1,"d":3e+23,"e":-7,)" + t + "}"},
      {"array verbatim", "[1, 2]", "[1, 2]"},
      {"string verbatim", R"("x")", R"("x")"},
      {"number verbatim", "42 ", "42 "},
      {"null verbatim", "null", "null"},
      {"trailing text verbatim", R"({"a":1} x)", R"({"a":1} x)"},
      {"not JSON verbatim", "hello {", "hello {"},
      {"leading white space kept when verbatim", "  [ ]", "  [ ]"},
  };
  Session session;
  for (const ContentCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(session.round_trip(c.request + "\n", "ok\n"), c.sent + "\n");
    EXPECT_EQ(session.child.read_stdout_line(), "ok\n");
  }
  session.child.close_stdin();
  EXPECT_EQ(session.child.wait(), exited_with(0));
}

// ---------------------------------------------------------------------------
// Endings

constexpr std::string_view kInvalidUtf8Error =
    "Error: Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }\n";

TEST(RelayEndingTest, InvalidUtf8OnStandardInput) {
  const std::string bad_lines[] = {"\xc3\x28\n", "\xc0\x80\n", "\xed\xa0\x80\n", "\xf4\x90\x80\x80\n", "ok\xe2\x82"};
  for (const std::string& bad : bad_lines) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    Session session;
    ASSERT_TRUE(session.child.write_stdin(bad));
    session.child.close_stdin();
    EXPECT_EQ(session.child.wait(), exited_with(1));
    EXPECT_EQ(session.child.stderr_text(), kInvalidUtf8Error);
    EXPECT_EQ(session.peer->read_until_eof(), "");  // nothing forwarded, then end of file
    EXPECT_TRUE(session.peer->eof_seen());
  }
}

TEST(RelayEndingTest, StandardOutputClosedByItsReader) {
  for (const std::size_t reply_length : {std::size_t{10}, std::size_t{1024}, std::size_t{100000}}) {
    SCOPED_TRACE(reply_length);
    Session session;
    session.child.close_stdout();
    EXPECT_EQ(session.round_trip("q\n", std::string(reply_length, 'r') + "\n"), "q\n");
    EXPECT_EQ(session.child.wait(), exited_with(1));  // not killed by SIGPIPE
    EXPECT_EQ(session.child.stderr_text(),
              "Error: Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }\n");
    EXPECT_EQ(session.peer->read_until_eof(), "");
    EXPECT_TRUE(session.peer->eof_seen());
  }
}

// When the ending comes: before the bridge connects, before the first
// request, after a reply, or while the reply to "q2" is awaited.
enum class Moment { NothingListening, AtStart, AfterAReply, AwaitingAReply };
// Who ends the session: the client closing standard input, the application
// closing or resetting its end, or no one (the bridge ends on what it read).
enum class Ending { ClientCloses, ApplicationCloses, ApplicationResets, Nothing };

struct EndingCase {
  const char* name;
  Moment moment;
  Ending ending;
  std::string_view partial_reply;  // sent while "q2" is awaited, before the ending
  int status;
  std::string_view error_line;
};

// Closed between requests, the application's end answers the next request
// with a reset: that request is lost and its send fails. A reply cut off by
// the close, or not valid UTF-8, never reaches the client.
const std::string kLargeCutOffReply(3 << 20, 'r');
const EndingCase kEndingCases[] = {
    {"nothing listening: nothing read before the connection", Moment::NothingListening, Ending::Nothing, "", 1,
     "Error: Os { code: 111, kind: ConnectionRefused, message: \"Connection refused\" }\n"},
    {"standard input empty from the start", Moment::AtStart, Ending::ClientCloses, "", 0, ""},
    {"standard input ending after a reply", Moment::AfterAReply, Ending::ClientCloses, "", 0, ""},
    {"a reply that is not UTF-8", Moment::AwaitingAReply, Ending::Nothing, "\xc3\x28\n", 1, kInvalidUtf8Error},
    {"closed while a reply is awaited", Moment::AwaitingAReply, Ending::ApplicationCloses, "", 0, ""},
    {"reset while a reply is awaited", Moment::AwaitingAReply, Ending::ApplicationResets, "", 1,
     "Error: Os { code: 104, kind: ConnectionReset, message: \"Connection reset by peer\" }\n"},
    {"closed in the middle of a reply", Moment::AwaitingAReply, Ending::ApplicationCloses, "{\"id\":2,\"res", 1,
     "Error: Custom { kind: UnexpectedEof, error: \"stream ended in the middle of a line\" }\n"},
    {"closed in the middle of a reply of megabytes", Moment::AwaitingAReply, Ending::ApplicationCloses,
     kLargeCutOffReply, 1, "Error: Custom { kind: UnexpectedEof, error: \"stream ended in the middle of a line\" }\n"},
    {"closed between requests", Moment::AfterAReply, Ending::ApplicationCloses, "", 1,
     "Error: Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }\n"},
    {"reset between requests", Moment::AfterAReply, Ending::ApplicationResets, "", 1,
     "Error: Os { code: 104, kind: ConnectionReset, message: \"Connection reset by peer\" }\n"},
};

TEST(RelayEndingTest, HowASessionEnds) {
  for (const EndingCase& c : kEndingCases) {
    SCOPED_TRACE(c.name);
    if (c.moment == Moment::NothingListening) {
      ChildOptions options;
      options.env = {{"TRELLUNE_MCP_PORT", std::to_string(testing::unused_port())}, {"TRELLUNE_MCP_TOKEN", "t"}};
      Child child = Child::spawn(testing::bridge_command(), options);
      ASSERT_TRUE(child.write_stdin("{}\n"));
      EXPECT_EQ(child.wait(), exited_with(c.status));
      EXPECT_EQ(child.stderr_text(), c.error_line);
      EXPECT_EQ(child.stdout_text(), "");
      EXPECT_EQ(child.unread_stdin(), "{}\n");
      continue;
    }
    Session session;
    const bool replied = c.moment != Moment::AtStart;
    if (replied) {
      EXPECT_EQ(session.round_trip("q1\n", "r1\n"), "q1\n");
      EXPECT_EQ(session.child.read_stdout_line(), "r1\n");
    }
    if (c.moment == Moment::AwaitingAReply) {
      ASSERT_TRUE(session.child.write_stdin("q2\n"));
      EXPECT_EQ(session.peer->read_line(), "q2\n");
      ASSERT_TRUE(session.peer->write(c.partial_reply));
    }
    if (c.ending == Ending::ClientCloses) {
      session.child.close_stdin();
      // The application sees the end of the request stream.
      EXPECT_EQ(session.peer->read_until_eof(), "");
      EXPECT_TRUE(session.peer->eof_seen());
    } else if (c.ending != Ending::Nothing) {
      if (c.ending == Ending::ApplicationResets) {
        session.peer->reset();
      } else {
        session.peer->close();
      }
      std::this_thread::sleep_for(100ms);  // the close reaches the bridge first
      (void)session.child.write_stdin("q3\n");
    }
    EXPECT_EQ(session.child.wait(), exited_with(c.status));
    EXPECT_EQ(session.child.stdout_text(), replied ? "r1\n" : "");
    EXPECT_EQ(session.child.stderr_text(), c.error_line);
  }
}

// ---------------------------------------------------------------------------
// Confinement

// Confined before the first request is read: by the first reply the bridge
// may no longer gain privileges and runs under its filter. Then it goes on
// through what takes other calls than a short request does: lines of
// megabytes, which live in memory mapped for them, and a pause longer than
// a worker's idle timeout. The test builds' filter aborts on any call it
// refuses, so a call missing from its list fails here.
TEST(RelaySandboxTest, ConfinedWhileRelaying) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  constexpr int kLeaked = 100;
  ChildOptions options;
  options.leaked_descriptor = kLeaked;
  Session session(options);
  EXPECT_EQ(session.round_trip("[1]\n", "r\n"), "[1]\n");
  EXPECT_EQ(session.child.read_stdout_line(), "r\n");
  EXPECT_EQ(testing::process_status_field(session.child.pid(), "NoNewPrivs"), "1");
  EXPECT_EQ(testing::process_status_field(session.child.pid(), "Seccomp"), "2");  // a filter
  // One thread beside the main one, started before the filter; the leaked
  // descriptor closed at start.
  EXPECT_EQ(testing::process_status_field(session.child.pid(), "Threads"), "2");
  const std::string leaked = "/proc/" + std::to_string(session.child.pid()) + "/fd/" + std::to_string(kLeaked);
  EXPECT_NE(::access(leaked.c_str(), F_OK), 0) << leaked;

  const std::string megabytes(6 << 20, 'm');
  EXPECT_EQ(session.round_trip("{\"m\":\"" + megabytes + "\"}\n", megabytes + "\n"),
            "{\"m\":\"" + megabytes + "\"," + std::string(kStampedToken) + "}\n");
  EXPECT_EQ(session.child.read_stdout(megabytes.size() + 1), megabytes + "\n");
  std::this_thread::sleep_for(10500ms);  // the bridge's worker idle timeout is 10 s
  EXPECT_EQ(session.round_trip("[2]\n", "r2\n"), "[2]\n");
  EXPECT_EQ(session.child.read_stdout_line(), "r2\n");

  session.child.close_stdin();
  EXPECT_EQ(session.child.wait(), exited_with(0));
  EXPECT_EQ(session.child.stderr_text(), "");
}

// ---------------------------------------------------------------------------
// Standard descriptors closed at start

TEST(RelayDescriptorTest, StandardInputClosedAtStart) {
  ChildOptions options;
  options.close_stdin = true;
  Session session(options);
  ASSERT_TRUE(session.peer->valid());
  EXPECT_EQ(session.child.wait(), exited_with(0));
  EXPECT_EQ(session.peer->read_until_eof(), "");
  EXPECT_TRUE(session.peer->eof_seen());
}

TEST(RelayDescriptorTest, StandardOutputClosedAtStartKeepsRelaying) {
  for (const bool close_stderr_too : {false, true}) {
    SCOPED_TRACE(close_stderr_too);
    ChildOptions options;
    options.close_stdout = true;
    options.close_stderr = close_stderr_too;
    Session session(options);
    EXPECT_EQ(session.round_trip("one\n", "1\n"), "one\n");
    EXPECT_EQ(session.round_trip("two\n", std::string(3000, '2') + "\n"), "two\n");
    session.child.close_stdin();
    EXPECT_EQ(session.child.wait(), exited_with(0));
    EXPECT_EQ(session.child.stdout_text(), "");
    EXPECT_EQ(session.child.stderr_text(), "");
  }
}

TEST(RelayDescriptorTest, StandardInputFromARegularFile) {
  const std::string path = ::testing::TempDir() + "trellune_requests.jsonl";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("{\"b\":1,\"a\":2}\nplain\n", file);
    std::fclose(file);
  }
  ChildOptions options;
  options.stdin_path = path;
  Session session(options);
  EXPECT_EQ(session.peer->read_line(), std::string("{\"a\":2,\"b\":1,") + kStampedToken + "}\n");
  session.peer->write("1\n");
  EXPECT_EQ(session.peer->read_line(), "plain\n");
  session.peer->write("2\n");
  EXPECT_EQ(session.child.wait(), exited_with(0));
  EXPECT_EQ(session.child.stdout_text(), "1\n2\n");
  std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Latency: a request and its newline leave in one sendmsg. Split over two
// sends without TCP_NODELAY, the second would wait for the peer's delayed ACK
// (~40 ms), and the round trip would show it.

TEST(RelayLatencyTest, RoundTripStaysFarBelowTheDelayedAckTimer) {
  Session session;
  std::vector<std::chrono::steady_clock::duration> times;
  for (int i = 0; i < 30; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.round_trip("{\"id\":" + std::to_string(i) + "}\n", "ok\n"),
              "{\"id\":" + std::to_string(i) + "," + kStampedToken + "}\n");
    EXPECT_EQ(session.child.read_stdout_line(), "ok\n");
    times.push_back(std::chrono::steady_clock::now() - start);
  }
  std::sort(times.begin(), times.end());
  EXPECT_LT(times[times.size() / 2], 20ms);
}

// ---------------------------------------------------------------------------
// Stress: many requests of mixed sizes through one process.

// Built by appending: GCC 12 at -O3 takes `"literal" + std::to_string(i)`
// for an overlapping copy and warns (-Wrestrict), a known false positive.
std::string stress_request(int i) {
  const std::string id = std::to_string(i);
  std::string text;
  switch (i % 4) {
    case 0: text.append("{\"id\":").append(id).append(",\"method\":\"ping\"}"); break;
    case 1: text.append("plain line ").append(id); break;
    case 2:
      text.append("{\"id\":").append(id).append(",\"blob\":\"");
      text.append(static_cast<std::size_t>(i % 9000), 'b').append("\"}");
      break;
    default: text.append("[").append(id).append("]"); break;
  }
  return text;
}

std::string stress_expected_at_peer(int i) {
  const std::string t = kStampedToken;
  switch (i % 4) {
    case 0: return "{\"id\":" + std::to_string(i) + ",\"method\":\"ping\"," + t + "}";
    case 2: return "{\"blob\":\"" + std::string(static_cast<std::size_t>(i % 9000), 'b') + "\",\"id\":" + std::to_string(i) + "," + t + "}";
    default: return stress_request(i);
  }
}

TEST(RelayStressTest, HundredThousandRequestsInOrder) {
  constexpr int kRequests = 100000;
  Session session;
  ASSERT_TRUE(session.peer->valid());

  std::thread client_writer([&session] {
    std::string batch;
    for (int i = 0; i < kRequests; ++i) {
      batch += stress_request(i);
      batch += '\n';
      if (batch.size() > 65536) {
        if (!session.child.write_stdin(batch)) return;
        batch.clear();
      }
    }
    session.child.write_stdin(batch);
    session.child.close_stdin();
  });

  int peer_mismatches = 0;
  std::thread application([&session, &peer_mismatches] {
    for (int i = 0; i < kRequests; ++i) {
      const std::string line = session.peer->read_line(30s);
      if (line != stress_expected_at_peer(i) + "\n") ++peer_mismatches;
      if (line.empty() || !session.peer->write("reply " + std::to_string(i) + "\n")) return;
    }
    // After the last request the bridge ends its stream.
    if (!session.peer->read_until_eof(30s).empty()) ++peer_mismatches;
  });

  int reply_mismatches = 0;
  for (int i = 0; i < kRequests; ++i) {
    if (session.child.read_stdout_line(30s) != "reply " + std::to_string(i) + "\n") {
      ++reply_mismatches;
      break;
    }
  }
  client_writer.join();
  application.join();
  EXPECT_EQ(reply_mismatches, 0);
  EXPECT_EQ(peer_mismatches, 0);
  EXPECT_EQ(session.child.wait(60s), exited_with(0));
  EXPECT_EQ(session.child.stderr_text(), "");
}

}  // namespace
}  // namespace trellune
