#include "bridge/line_channel.hpp"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
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
constexpr const char* kCutOff = "<cut off>";

// An error outcome as its marker; any other error as its debug rendering.
std::string error_marker(const IoError& error) {
  const std::string rendered = error.debug_string();
  if (rendered == "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }") return kInvalid;
  if (rendered == "Custom { kind: UnexpectedEof, error: \"stream ended in the middle of a line\" }") return kCutOff;
  return rendered;
}

std::vector<std::string> read_all_lines(EventLoop& loop, std::deque<std::string> chunks, int* reads,
                                        UnterminatedLine unterminated = UnterminatedLine::kIsLine) {
  LineReader reader(std::make_unique<ScriptedEnd>(std::move(chunks), reads), unterminated);
  std::vector<std::string> outcomes;
  for (int guard = 0; guard < 100; ++guard) {
    LineOutcome outcome = loop.block_on(reader.next_line());
    if (!outcome) {
      outcomes.push_back(error_marker(outcome.error()));
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
  UnterminatedLine unterminated = UnterminatedLine::kIsLine;
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
      {"whole lines where lines must be whole", {"ab", "c\r\n", "\n"}, {"abc", "", kEnd},
       UnterminatedLine::kIsCutOff},
      {"cut-off line dropped", {"abc\n", "de", "f"}, {"abc", kCutOff, kEnd}, UnterminatedLine::kIsCutOff},
      {"cut inside a character", {"\xe2\x82"}, {kCutOff, kEnd}, UnterminatedLine::kIsCutOff},
  };
  std::unique_ptr<EventLoop> loop = make_loop();
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    int reads = 0;
    EXPECT_EQ(read_all_lines(*loop, c.chunks, &reads, c.unterminated), c.outcomes);
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
  std::string long_payload;
  for (int i = 0; long_payload.size() < 3 * 1024 * 1024; ++i) long_payload += std::to_string(i) + ";";
  struct Case {
    const char* name;
    std::string payload;
    bool as_line;  // write_line: the payload and its newline in one send
  };
  const std::vector<Case> cases = {
      {"bytes", long_payload, false},
      {"long line", long_payload, true},
      {"empty line", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    const int small = 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::unique_ptr<EventLoop> loop = make_loop();
    LineWriter writer = socket_writer_over(*loop, fds[0]);
    const std::string expected = c.as_line ? c.payload + "\n" : c.payload;

    std::string received;
    std::thread slow_reader([fd = fds[1], &received, size = expected.size()] {
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
    IoStatus status = loop->block_on(c.as_line ? writer.write_line(c.payload) : writer.write_all(c.payload));
    slow_reader.join();
    EXPECT_TRUE(status.has_value());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    ::close(fds[1]);
  }
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

// ---------------------------------------------------------------------------
// Standard input and output as the relay's pair of ends

// Puts a pipe on descriptor 0 and a packet socket (which keeps each write()
// apart) on descriptor 1 for the life of the object.
class RedirectedStdio {
 public:
  RedirectedStdio() {
    std::fflush(stdout);
    saved_in_ = ::dup(0);
    saved_out_ = ::dup(1);
    int in[2];
    int out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, out), 0);
    ::dup2(in[0], 0);
    ::dup2(out[0], 1);
    ::close(in[0]);
    ::close(out[0]);
    client_in_ = in[1];
    client_out_ = out[1];
  }
  ~RedirectedStdio() {
    ::dup2(saved_in_, 0);
    ::dup2(saved_out_, 1);
    for (const int fd : {saved_in_, saved_out_, client_in_, client_out_}) ::close(fd);
  }
  RedirectedStdio(const RedirectedStdio&) = delete;
  RedirectedStdio& operator=(const RedirectedStdio&) = delete;

  void send_request(std::string_view line) {
    EXPECT_EQ(::write(client_in_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  int unread_request_bytes() const {
    int count = -1;
    ::ioctl(0, FIONREAD, &count);
    return count;
  }
  void stop_reading_output() { ::shutdown(client_out_, SHUT_RDWR); }
  std::vector<std::size_t> output_writes() const { return write_sizes(client_out_); }

 private:
  int saved_in_ = -1;
  int saved_out_ = -1;
  int client_in_ = -1;
  int client_out_ = -1;
};

struct StdioCase {
  const char* name;
  std::size_t reply_size;
  bool output_reader_gone;
  bool flush;                       // else the writer is released instead
  std::vector<std::size_t> writes;  // on descriptor 1
  int left_in_pipe;                 // of the next request, "b\n"
};

// The failing row comes last: its bytes stay in the process's output buffer.
const std::vector<StdioCase> kStdioCases = {
    {"short reply leaves with its newline, next request read ahead", 10, false, true, {11}, 0},
    {"1024-byte reply in a write of its own, then the newline", 1024, false, true, {1024, 1}, 0},
    {"writer released before its flush: the held reply still leaves", 10, false, false, {11}, 2},
    {"failed flush reads nothing ahead", 10, true, true, {}, 2},
};

// The relay's round: a request line that empties the reader, a reply written
// as a line with more to follow, a flush, the next request line.
TEST(StdioEndsTest, ReplyLeavesInOneJobAndTheFlushReadsTheNextRequest) {
  std::signal(SIGPIPE, SIG_IGN);
  for (const StdioCase& c : kStdioCases) {
    SCOPED_TRACE(c.name);
    RedirectedStdio stdio;
    auto loop = make_loop();
    StdioEnds ends = make_stdio_ends(*loop);
    LineReader requests(std::move(ends.input));
    auto output = std::make_unique<LineWriter>(std::move(ends.output));

    stdio.send_request("a\n");
    LineOutcome first = loop->block_on(requests.next_line());
    ASSERT_TRUE(first && first->has_value());
    EXPECT_EQ(**first, "a");
    stdio.send_request("b\n");
    if (c.output_reader_gone) stdio.stop_reading_output();
    const std::string reply(c.reply_size, 'r');
    EXPECT_TRUE(loop->block_on(output->write_line(reply, MoreFollows::kYes)));
    if (c.flush) {
      IoStatus flushed = loop->block_on(output->flush());
      EXPECT_EQ(flushed.has_value(), !c.output_reader_gone);
    } else {
      output.reset();
      loop->shutdown();  // lets the job that the release started finish
    }
    EXPECT_EQ(stdio.unread_request_bytes(), c.left_in_pipe);
    EXPECT_EQ(stdio.output_writes(), c.writes);
    if (c.flush) {
      LineOutcome second = loop->block_on(requests.next_line());
      ASSERT_TRUE(second && second->has_value());
      EXPECT_EQ(**second, "b");
    }
  }
}

}  // namespace
}  // namespace trellune
