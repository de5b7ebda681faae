#include "bridge/socket_ends.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

namespace trellune {
namespace {

// A short read or write means that the kernel's queue is drained or full, so
// readiness is cleared at once instead of paying for the EAGAIN that would
// follow.

// The most one recv takes while the application keeps sending: a large reply
// then costs a system call and a wait per 256 KiB instead of per 8 KiB, and
// the reader's buffer stays small enough to be copied from in the cache.
constexpr std::size_t kMaxSocketReadBytes = 256 * 1024;

class SocketReadEnd final : public ReadEnd {
 public:
  explicit SocketReadEnd(SocketReadSide side) : side_(std::move(side)) {}

  // recv fills the reader's buffer directly, so a larger one saves calls
  // without a copy.
  std::size_t largest_read() const override { return kMaxSocketReadBytes; }

  Task<IoResult<std::size_t>> read(std::span<char> buffer) override {
    SharedSocket& socket = side_.socket();
    for (;;) {
      auto readable = socket.loop().wait_readable(socket.registration());
      const Readiness ready = co_await readable;
      const ssize_t n = ::recv(socket.fd(), buffer.data(), buffer.size(), 0);
      if (n == 0) {
        // The application's end of stream, unless it reset the connection
        // after its close: a request sent after the close then drew a reset,
        // which the end of stream ahead of it would otherwise hide.
        if (IoStatus reset = socket.take_pending_error(); !reset) co_return std::move(reset).error();
      }
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

// What one send still has to hand on: up to two pieces, a line and its
// newline, of which [first, end) are left.
struct SendPieces {
  std::array<iovec, 2> pieces{};
  std::size_t first = 0;
  std::size_t end = 0;

  void add(std::string_view bytes) {
    if (!bytes.empty()) pieces[end++] = {const_cast<char*>(bytes.data()), bytes.size()};
  }
  bool empty() const { return first == end; }
  // Drops the first `sent` bytes.
  void advance(std::size_t sent) {
    while (first < end && sent >= pieces[first].iov_len) sent -= pieces[first++].iov_len;
    if (first < end) {
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + sent;
      pieces[first].iov_len -= sent;
    }
  }
};

class SocketWriteEnd final : public WriteEnd {
 public:
  explicit SocketWriteEnd(SocketWriteSide side) : side_(std::move(side)) {}

  // Nothing is held back on the socket side, so `more` changes nothing.
  Task<IoStatus> write_all(std::string_view bytes, MoreFollows /*more*/) override {
    SendPieces pieces;
    pieces.add(bytes);
    return send_all(pieces);
  }

  // The line and its newline leave in one send: one system call, and one
  // segment that wakes the application once.
  Task<IoStatus> write_line(std::string_view line, MoreFollows /*more*/) override {
    SendPieces pieces;
    pieces.add(line);
    pieces.add("\n");
    return send_all(pieces);
  }

  Task<IoStatus> flush() override { co_return IoStatus{}; }

 private:
  Task<IoStatus> send_all(SendPieces pieces) {
    SharedSocket& socket = side_.socket();
    while (!pieces.empty()) {
      auto writable = socket.loop().wait_writable(socket.registration());
      const Readiness ready = co_await writable;
      msghdr message{};
      message.msg_iov = pieces.pieces.data() + pieces.first;
      message.msg_iovlen = pieces.end - pieces.first;
      const ssize_t n = ::sendmsg(socket.fd(), &message, MSG_NOSIGNAL);
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
      pieces.advance(count);
      if (!pieces.empty()) {
        socket.loop().clear_readiness(socket.registration(), ready);
      }
    }
    co_return IoStatus{};
  }

  SocketWriteSide side_;
};

}  // namespace

std::unique_ptr<ReadEnd> make_socket_read_end(SocketReadSide side) {
  return std::make_unique<SocketReadEnd>(std::move(side));
}

std::unique_ptr<WriteEnd> make_socket_write_end(SocketWriteSide side) {
  return std::make_unique<SocketWriteEnd>(std::move(side));
}

}  // namespace trellune
