#include "bridge/line_channel.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "bridge/process_stdio.hpp"
#include "base/utf8.hpp"
#include "base/wait_ready.hpp"

namespace trellune {

// ---------------------------------------------------------------------------
// LineReader

LineReader::LineReader(std::unique_ptr<ReadEnd> end)
    : end_(std::move(end)), buffer_(std::make_unique<std::array<char, kLineReaderBufferSize>>()) {}

Task<LineOutcome> LineReader::next_line() {
  for (;;) {
    if (pos_ == filled_) {
      // Only an empty buffer is refilled, so one refill serves many lines.
      Task<IoResult<std::size_t>> refill = end_->read(std::span<char>(*buffer_));
      IoResult<std::size_t> count = co_await std::move(refill);
      if (!count) {
        co_return std::move(count).error();
      }
      filled_ = *count;
      pos_ = 0;
    }
    if (take_buffered()) {
      break;
    }
  }
  co_return finish_line();
}

bool LineReader::take_buffered() {
  const char* available = buffer_->data() + pos_;
  const std::size_t length = filled_ - pos_;
  const void* newline = std::memchr(available, '\n', length);
  const std::size_t used =
      newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - available) + 1 : length;
  pending_.append(available, used);
  pos_ += used;
  taken_ += used;
  return newline != nullptr || used == 0;
}

LineOutcome LineReader::finish_line() {
  std::string line = std::exchange(pending_, {});
  const std::size_t taken = std::exchange(taken_, 0);
  if (!is_valid_utf8(line)) {
    return IoError::with_custom_message(IoErrorKind::InvalidData, "stream did not contain valid UTF-8");
  }
  if (taken == 0) {
    return std::optional<std::string>{};
  }
  if (!line.empty() && line.back() == '\n') {
    line.pop_back();
    // A carriage return counts as part of the terminator only before "\n".
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
  }
  return std::optional<std::string>(std::move(line));
}

namespace {

// ---------------------------------------------------------------------------
// Standard-input end: each refill is one read() on a worker, through a
// transfer buffer that belongs to the job while it runs.

struct StdinJobResult {
  IoResult<std::size_t> outcome;
  std::string transfer;
};

StdinJobResult read_stdin_job(std::string transfer, std::size_t limit) {
  ProcessStdin& input = process_stdin();
  std::lock_guard guard(input.lock);
  transfer.resize(limit);
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, transfer.data(), limit);
    if (n >= 0) {
      transfer.resize(static_cast<std::size_t>(n));
      return {static_cast<std::size_t>(n), std::move(transfer)};
    }
    if (errno == EINTR) continue;  // nothing was read; the call is safe to repeat
    if (errno == EBADF) {
      // No standard input at all reads as an empty one.
      transfer.clear();
      return {std::size_t{0}, std::move(transfer)};
    }
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(STDIN_FILENO, POLLIN)) continue;
    IoError error = io_error_from_errno();
    transfer.clear();
    return {std::move(error), std::move(transfer)};
  }
}

class StdinEnd final : public ReadEnd {
 public:
  explicit StdinEnd(EventLoop& loop) : loop_(loop), wake_on_input_(watch_input(loop)) {}

  Task<IoResult<std::size_t>> read(std::span<char> buffer) override {
    if (!job_) {
      if (transfer_pos_ < transfer_.size()) {
        co_return copy_out(buffer);
      }
      const std::size_t limit = std::min(buffer.size(), kMaxJobBytes);
      // A read that filled its whole limit has likely left more input in the
      // pipe, so the next one returns at once; after a short read the pipe is
      // drained and the next read waits for the client.
      const JobWait wait = last_read_filled_ ? JobWait::kBrief : JobWait::kForInput;
      job_.emplace(loop_.run_job(
          [transfer = std::move(transfer_), limit]() mutable { return read_stdin_job(std::move(transfer), limit); },
          wait));
      requested_ = limit;
    }
    StdinJobResult result = co_await std::move(*job_);
    job_.reset();
    transfer_ = std::move(result.transfer);
    transfer_pos_ = 0;
    if (!result.outcome) {
      co_return std::move(result.outcome).error();
    }
    last_read_filled_ = *result.outcome == requested_;
    co_return copy_out(buffer);
  }

 private:
  std::size_t copy_out(std::span<char> buffer) {
    const std::size_t count = std::min(buffer.size(), transfer_.size() - transfer_pos_);
    std::memcpy(buffer.data(), transfer_.data() + transfer_pos_, count);
    transfer_pos_ += count;
    if (transfer_pos_ == transfer_.size()) {
      transfer_.clear();
      transfer_pos_ = 0;
    }
    return count;
  }

  // The read itself runs on a worker, which the kernel wakes when the client
  // writes. Watching descriptor 0 in the reactor as well wakes the loop at the
  // same moment, so it is already running when the read completes instead of
  // waiting for the worker to wake it: one thread hop fewer per request. Only
  // a hint; files and /dev/null cannot be watched and need none. The
  // registration removes itself when the end is released.
  static std::optional<Registration> watch_input(EventLoop& loop) {
    IoResult<Registration> registration = loop.register_fd(STDIN_FILENO);
    if (!registration) return std::nullopt;
    return std::move(*registration);
  }

  EventLoop& loop_;
  std::optional<Registration> wake_on_input_;
  std::string transfer_;
  std::size_t transfer_pos_ = 0;
  std::size_t requested_ = 0;
  bool last_read_filled_ = false;
  std::optional<JobHandle<StdinJobResult>> job_;
};

// ---------------------------------------------------------------------------
// Socket ends: non-blocking recv/send driven by the reactor. A short read or
// write means the kernel queue is drained or full, so readiness is cleared at
// once instead of paying for the EAGAIN that would follow.

class SocketReadEnd final : public ReadEnd {
 public:
  explicit SocketReadEnd(SocketReadSide side) : side_(std::move(side)) {}

  Task<IoResult<std::size_t>> read(std::span<char> buffer) override {
    SharedSocket& socket = side_.socket();
    for (;;) {
      auto readable = socket.loop().wait_readable(socket.registration());
      const Readiness ready = co_await readable;
      const ssize_t n = ::recv(socket.fd(), buffer.data(), buffer.size(), 0);
      if (n >= 0) {
        const auto count = static_cast<std::size_t>(n);
        if (count > 0 && count < buffer.size()) {
          socket.loop().clear_readiness(socket.registration(), ready);
        }
        co_return count;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        co_return io_error_from_errno();
      }
      socket.loop().clear_readiness(socket.registration(), ready);
    }
  }

 private:
  SocketReadSide side_;
};

class SocketWriteEnd final : public WriteEnd {
 public:
  explicit SocketWriteEnd(SocketWriteSide side) : side_(std::move(side)) {}

  Task<IoStatus> write_all(std::string_view bytes) override {
    SharedSocket& socket = side_.socket();
    while (!bytes.empty()) {
      auto writable = socket.loop().wait_writable(socket.registration());
      const Readiness ready = co_await writable;
      const ssize_t n = ::send(socket.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          co_return io_error_from_errno();
        }
        socket.loop().clear_readiness(socket.registration(), ready);
        continue;
      }
      const auto count = static_cast<std::size_t>(n);
      if (count == 0) {
        co_return IoError(IoErrorKind::WriteZero);
      }
      if (count < bytes.size()) {
        socket.loop().clear_readiness(socket.registration(), ready);
      }
      bytes.remove_prefix(count);
    }
    co_return IoStatus{};
  }

  // Nothing is held back on the socket side.
  Task<IoStatus> flush() override { co_return IoStatus{}; }

 private:
  SocketWriteSide side_;
};

// ---------------------------------------------------------------------------
// Standard-output end: each write and each flush is a job on a worker. A
// write succeeds once its bytes are in a job; the job's failure is reported
// by the next write or flush.

struct StdoutJobResult {
  IoStatus outcome;
  std::string transfer;
};

StdoutJobResult write_stdout_job(std::string transfer) {
  ProcessStdout& out = process_stdout();
  std::lock_guard guard(out.lock);
  out.used = true;
  IoStatus status = out.output.write_all(transfer);
  transfer.clear();
  return {std::move(status), std::move(transfer)};
}

StdoutJobResult flush_stdout_job(std::string transfer) {
  ProcessStdout& out = process_stdout();
  std::lock_guard guard(out.lock);
  out.used = true;
  return {out.output.flush(), std::move(transfer)};
}

class StdoutEnd final : public WriteEnd {
 public:
  explicit StdoutEnd(EventLoop& loop) : loop_(loop) {}

  Task<IoStatus> write_all(std::string_view bytes) override {
    while (!bytes.empty()) {
      if (job_) {
        Task<IoStatus> finishing = finish_job();
        IoStatus finished = co_await std::move(finishing);
        if (!finished) co_return finished;
        continue;
      }
      const std::size_t count = std::min(bytes.size(), kMaxJobBytes);
      transfer_.assign(bytes.substr(0, count));
      job_.emplace(loop_.run_job(
          [transfer = std::move(transfer_)]() mutable { return write_stdout_job(std::move(transfer)); }));
      needs_flush_ = true;
      bytes.remove_prefix(count);
    }
    co_return IoStatus{};
  }

  Task<IoStatus> flush() override {
    for (;;) {
      if (job_) {
        Task<IoStatus> finishing = finish_job();
        IoStatus finished = co_await std::move(finishing);
        if (!finished) co_return finished;
        continue;
      }
      if (!needs_flush_) {
        co_return IoStatus{};
      }
      needs_flush_ = false;
      job_.emplace(loop_.run_job(
          [transfer = std::move(transfer_)]() mutable { return flush_stdout_job(std::move(transfer)); }));
    }
  }

 private:
  // Waits for the job in flight and takes the transfer buffer back.
  Task<IoStatus> finish_job() {
    StdoutJobResult result = co_await std::move(*job_);
    job_.reset();
    transfer_ = std::move(result.transfer);
    co_return std::move(result.outcome);
  }

  EventLoop& loop_;
  std::string transfer_;
  bool needs_flush_ = false;
  std::optional<JobHandle<StdoutJobResult>> job_;
};

}  // namespace

std::unique_ptr<ReadEnd> make_stdin_end(EventLoop& loop) { return std::make_unique<StdinEnd>(loop); }

std::unique_ptr<ReadEnd> make_socket_read_end(SocketReadSide side) {
  return std::make_unique<SocketReadEnd>(std::move(side));
}

std::unique_ptr<WriteEnd> make_socket_write_end(SocketWriteSide side) {
  return std::make_unique<SocketWriteEnd>(std::move(side));
}

std::unique_ptr<WriteEnd> make_stdout_end(EventLoop& loop) { return std::make_unique<StdoutEnd>(loop); }

void flush_process_stdout_at_exit() {
  ProcessStdout& out = process_stdout();
  std::unique_lock guard(out.lock, std::try_to_lock);
  if (guard.owns_lock() && out.used) {
    out.output.flush_and_unbuffer();
  }
}

}  // namespace trellune
