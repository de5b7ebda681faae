#include "bridge/line_channel.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "bridge/local_connection.hpp"
#include "bridge/process_stdio.hpp"
#include "bridge_test_support.hpp"

namespace trellune {
namespace {

using testing::make_loop;
using testing::socket_writer_over;

// ---------------------------------------------------------------------------
// LineReader over a scripted end

// Delivers the scripted chunks one per read (each cut to the offered size),
// then the end of the stream; counts the reads.
class ScriptedEnd final : public ReadEnd {
 public:
  ScriptedEnd(std::deque<std::string> chunks, int* reads) : chunks_(std::move(chunks)), reads_(reads) {}

  Task<IoResult<std::size_t>> read(std::span<char> buffer) override {
    ++*reads_;
    if (chunks_.empty()) co_return std::size_t{0};
    std::string& chunk = chunks_.front();
    const std::size_t count = std::min(chunk.size(), buffer.size());
    std::copy_n(chunk.data(), count, buffer.data());
    chunk.erase(0, count);
    if (chunk.empty()) chunks_.pop_front();
    co_return count;
  }

 private:
  std::deque<std::string> chunks_;
  int* reads_;
};

constexpr const char* kEnd = "<end>";
constexpr const char* kInvalid = "<invalid UTF-8>";

std::vector<std::string> read_all_lines(EventLoop& loop, std::deque<std::string> chunks, int* reads) {
  LineReader reader(std::make_unique<ScriptedEnd>(std::move(chunks), reads));
  std::vector<std::string> outcomes;
  for (int guard = 0; guard < 100; ++guard) {
    LineOutcome outcome = loop.block_on(reader.next_line());
    if (!outcome) {
      EXPECT_EQ(outcome.error().debug_string(),
                "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }");
      outcomes.emplace_back(kInvalid);
      continue;
    }
    if (!outcome->has_value()) {
      outcomes.emplace_back(kEnd);
      break;
    }
    outcomes.push_back(**outcome);
  }
  return outcomes;
}

struct ReaderCase {
  const char* name;
  std::deque<std::string> chunks;
  std::vector<std::string> outcomes;
};

TEST(LineReaderTest, FramesLines) {
  const std::string long_line(20000, 'x');
  const std::vector<ReaderCase> cases = {
      {"LF", {"abc\n"}, {"abc", kEnd}},
      {"CR LF", {"abc\r\n"}, {"abc", kEnd}},
      {"lone LF and CR LF are empty lines", {"\n\r\n"}, {"", "", kEnd}},
      {"only one CR removed", {"abc\r\r\n"}, {"abc\r", kEnd}},
      {"CR inside the line", {"a\rb\n"}, {"a\rb", kEnd}},
      {"NUL inside the line", {std::string("a\0b\n", 4)}, {std::string("a\0b", 3), kEnd}},
      {"last line without newline", {"abc"}, {"abc", kEnd}},
      {"last line keeps its CR", {"abc\r"}, {"abc\r", kEnd}},
      {"empty stream", {}, {kEnd}},
      {"CR and LF in separate reads", {"abc\r", "\n", "d\n"}, {"abc", "d", kEnd}},
      {"line split across many reads", {"ab", "c", "de", "f\ng", "h\n"}, {"abcdef", "gh", kEnd}},
      {"line longer than twice the buffer", {long_line + "\nnext\n"}, {long_line, "next", kEnd}},
      {"overlong NUL", {"\xc0\x80\n", "ok\n"}, {kInvalid, "ok", kEnd}},
      {"bad continuation", {"\xc3\x28\n"}, {kInvalid, kEnd}},
      {"encoded surrogate", {"\xed\xa0\x80\n"}, {kInvalid, kEnd}},
      {"above U+10FFFF", {"\xf4\x90\x80\x80\n"}, {kInvalid, kEnd}},
      {"cut off at the end of the stream", {"\xe2\x82"}, {kInvalid, kEnd}},
      {"multi-byte character split across reads", {"\xe2", "\x82", "\xac\n"}, {"\xe2\x82\xac", kEnd}},
  };
  std::unique_ptr<EventLoop> loop = make_loop();
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    int reads = 0;
    EXPECT_EQ(read_all_lines(*loop, c.chunks, &reads), c.outcomes);
  }
}

TEST(LineReaderTest, BufferedLinesNeedNoFurtherRead) {
  std::unique_ptr<EventLoop> loop = make_loop();
  int reads = 0;
  LineReader reader(std::make_unique<ScriptedEnd>(std::deque<std::string>{"one\ntwo\nthree\n"}, &reads));
  for (const char* expected : {"one", "two", "three"}) {
    LineOutcome line = loop->block_on(reader.next_line());
    ASSERT_TRUE(line && line->has_value());
    EXPECT_EQ(**line, expected);
    EXPECT_EQ(reads, 1);
  }
}

TEST(LineReaderTest, LongLineIsAssembledFromManyRefills) {
  std::unique_ptr<EventLoop> loop = make_loop();
  std::string expected;
  std::deque<std::string> chunks;
  for (int i = 0; i < 5000; ++i) {
    chunks.push_back(std::to_string(i) + ",");
    expected += chunks.back();
  }
  chunks.push_back("\n");
  int reads = 0;
  LineReader reader(std::make_unique<ScriptedEnd>(std::move(chunks), &reads));
  LineOutcome line = loop->block_on(reader.next_line());
  ASSERT_TRUE(line && line->has_value());
  EXPECT_EQ(**line, expected);
  EXPECT_EQ(reads, 5001);
}

// ---------------------------------------------------------------------------
// Socket write end: a send that takes only part of the bytes is resumed
// after a wait for writability, and nothing is lost or reordered.

TEST(SocketWriteEndTest, PartialSendsResumeAfterWaiting) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  const int small = 4096;
  ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::unique_ptr<EventLoop> loop = make_loop();
  LineWriter writer = socket_writer_over(*loop, fds[0]);

  std::string payload;
  for (int i = 0; payload.size() < 3 * 1024 * 1024; ++i) payload += std::to_string(i) + ";";

  std::string received;
  std::thread slow_reader([fd = fds[1], &received, size = payload.size()] {
    char buffer[1000];
    while (received.size() < size) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        received.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
  });
  IoStatus status = loop->block_on(writer.write_all(payload));
  slow_reader.join();
  EXPECT_TRUE(status.has_value());
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload);
  ::close(fds[1]);
}

TEST(SocketWriteEndTest, PeerGoneIsAnErrorNotASignal) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  ::close(fds[1]);
  std::unique_ptr<EventLoop> loop = make_loop();
  LineWriter writer = socket_writer_over(*loop, fds[0]);
  IoStatus status = loop->block_on(writer.write_all("request"));
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), IoErrorKind::BrokenPipe);
}

// ---------------------------------------------------------------------------
// The line-buffered standard output: how many write() calls a reply costs.
// A SOCK_SEQPACKET pair keeps the boundary of every write().

std::vector<std::size_t> write_sizes(int fd) {
  std::vector<std::size_t> sizes;
  char buffer[1 << 17];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return sizes;
    sizes.push_back(static_cast<std::size_t>(n));
  }
}

struct OutputCase {
  const char* name;
  std::string reply;
  std::vector<std::size_t> writes;  // after the reply, "\n" and a flush
};

TEST(LineBufferedOutputTest, ReplyWriteCounts) {
  const std::vector<OutputCase> cases = {
      {"short reply leaves with its newline", std::string(10, 'a'), {11}},
      {"1023 bytes fill the buffer exactly", std::string(1023, 'a'), {1024}},
      {"1024 bytes go directly, newline alone", std::string(1024, 'a'), {1024, 1}},
      {"long reply goes directly", std::string(5000, 'a'), {5000, 1}},
      {"empty reply is a bare newline", "", {1}},
      {"newline inside the reply", "ab\ncd", {3, 3}},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    const int big = 1 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    LineBufferedOutput output(fds[0]);
    EXPECT_TRUE(output.write_all(c.reply).has_value());
    EXPECT_TRUE(output.write_all("\n").has_value());
    EXPECT_TRUE(output.flush().has_value());
    EXPECT_EQ(output.buffered(), 0u);
    EXPECT_EQ(write_sizes(fds[1]), c.writes);
    ::close(fds[0]);
    ::close(fds[1]);
  }
}

TEST(LineBufferedOutputTest, FailedFlushKeepsTheBytesAndClosedDescriptorSwallowsThem) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ::close(fds[1]);
  LineBufferedOutput broken(fds[0]);
  EXPECT_TRUE(broken.write_all("pending").has_value());  // held in the buffer
  IoStatus status = broken.flush();
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), IoErrorKind::BrokenPipe);
  EXPECT_EQ(broken.buffered(), 7u);
  ::close(fds[0]);

  LineBufferedOutput closed(-1);  // EBADF counts as written
  EXPECT_TRUE(closed.write_all(std::string(2000, 'x') + "\n").has_value());
  EXPECT_TRUE(closed.write_all("tail").has_value());
  EXPECT_TRUE(closed.flush().has_value());
  EXPECT_EQ(closed.buffered(), 0u);
}

}  // namespace
}  // namespace trellune
