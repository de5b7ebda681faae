#include "bridge/stdio_ends.hpp"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "bridge_test_support.hpp"

namespace trellune {
namespace {

using testing::make_loop;
using testing::write_sizes;

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
