// bridge: the line framing (here) and the ends it runs on: the socket's two
// sides (socket_ends.hpp) and the standard streams as a pair of ends on
// worker jobs (stdio_ends.hpp, with standard output's line buffer in
// stdout_buffer.hpp); the local TCP connection (local_connection.hpp) and
// the check of its peer's owner (peer_owner.hpp). Uses event_loop, io_error
// and base; knows nothing of JSON or of the relay. This header needs neither
// the connection nor the standard streams; the ends' files build on it.
//
// Newline-framed channels over the bridge's four byte streams: standard
// input, the socket's read side, the socket's write side, standard output.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/utf8.hpp"
#include "event_loop/task.hpp"
#include "io_error/io_error.hpp"

namespace trellune {

// Where a LineReader gets its bytes: read() fills a prefix of `buffer` and
// yields the count, 0 meaning the end of the stream.
class ReadEnd {
 public:
  virtual ~ReadEnd() = default;
  virtual Task<IoResult<std::size_t>> read(std::span<char> buffer) = 0;
  // The reader has handed out every byte it read: its next line begins with
  // a read like the last one. An end may prepare that read.
  virtual void expect_read() {}
  // The most one read may be offered. An end that reads straight into the
  // reader's buffer can take more than kLineReaderBufferSize while reads keep
  // filling; one that copies from a buffer of its own gains nothing by it.
  virtual std::size_t largest_read() const;
};

// Whether the caller goes on at once with another operation on the same
// writer (the flush after a reply). An end may then hold bytes back until
// that operation, so that both leave together: standard output hands both to
// its worker as one job. Bytes held are never lost.
enum class MoreFollows : bool { kNo, kYes };

// Where a LineWriter puts its bytes. write_all() yields once every byte has
// been handed on; flush() once everything handed on has reached the stream.
class WriteEnd {
 public:
  virtual ~WriteEnd() = default;
  virtual Task<IoStatus> write_all(std::string_view bytes, MoreFollows more) = 0;
  // `line` and then "\n", as two write_all calls would write them; `more`
  // applies to the newline. An end may hand both on in one operation.
  virtual Task<IoStatus> write_line(std::string_view line, MoreFollows more) = 0;
  virtual Task<IoStatus> flush() = 0;
};

// A line without its terminator, or nullopt at the end of the stream.
using LineOutcome = IoResult<std::optional<std::string>>;

inline constexpr std::size_t kLineReaderBufferSize = 8192;

inline std::size_t ReadEnd::largest_read() const { return kLineReaderBufferSize; }

// What the end of a stream makes of bytes it leaves without "\n": a line
// like any other (a client may end its last request so), or, on a stream
// whose every line must be whole, a line cut off, which is an error rather
// than something to pass on as if it were complete.
enum class UnterminatedLine : bool { kIsLine, kIsCutOff };

class LineReader {
 public:
  explicit LineReader(std::unique_ptr<ReadEnd> end, UnterminatedLine unterminated = UnterminatedLine::kIsLine);

  // Hands out one line: "\n" is removed, then one "\r" before it; nothing
  // else is changed. The whole line must be well-formed UTF-8 (RFC 3629).
  // A last line without "\n" is handed out as it is, or with kIsCutOff
  // dropped and reported as an UnexpectedEof error.
  Task<LineOutcome> next_line();

  // Gives back a line that next_line handed out, once the caller is done
  // with it: the next line is assembled in its memory, which spares a large
  // line's successor growing again, with its copies and page faults. Memory
  // that the line used less than a quarter of is let go instead, so one small
  // line after large ones releases it.
  void reuse(std::string spent);

 private:
  // Moves buffered bytes through the next newline into pending_; true when
  // the line is complete (newline found or the end delivered nothing).
  bool take_buffered();
  // The size of the next read into the empty buffer, which it may grow.
  std::size_t prepare_refill();
  LineOutcome finish_line();

  std::unique_ptr<ReadEnd> end_;
  UnterminatedLine unterminated_;
  // kLineReaderBufferSize bytes, or up to the end's largest read while reads
  // keep filling it; back to the small buffer once a line ends with the
  // buffer drained.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = kLineReaderBufferSize;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  std::string pending_;
  std::size_t taken_ = 0;
  // pending_'s UTF-8, checked piece by piece as take_buffered appends: a long
  // line is checked while the rest of it is still arriving, on bytes still in
  // the cache, and only the verdict waits for the newline.
  Utf8Validator utf8_;
};

class LineWriter {
 public:
  explicit LineWriter(std::unique_ptr<WriteEnd> end) : end_(std::move(end)) {}
  // `bytes` must stay alive until the returned task completes.
  Task<IoStatus> write_all(std::string_view bytes, MoreFollows more = MoreFollows::kNo) {
    return end_->write_all(bytes, more);
  }
  // `line` must stay alive until the returned task completes.
  Task<IoStatus> write_line(std::string_view line, MoreFollows more = MoreFollows::kNo) {
    return end_->write_line(line, more);
  }
  Task<IoStatus> flush() { return end_->flush(); }

 private:
  std::unique_ptr<WriteEnd> end_;
};

}  // namespace trellune
