// Blocking line I/O shared by the end-to-end benchmark and its relays.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace trellune::bench {

// Reads newline-terminated lines from one descriptor, newline included.
class LineSource {
 public:
  explicit LineSource(int fd) : fd_(fd) {}

  // False at the end of the stream or on an error.
  bool read_line(std::string& line) {
    for (;;) {
      const std::size_t newline = buffer_.find('\n', scanned_);
      if (newline != std::string::npos) {
        line.assign(buffer_, 0, newline + 1);
        buffer_.erase(0, newline + 1);
        scanned_ = 0;
        return true;
      }
      scanned_ = buffer_.size();
      char chunk[65536];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Consumes the next line without keeping it: a client that only counts
  // large replies should not pay for copying them.
  bool skip_line() {
    if (const std::size_t newline = buffer_.find('\n'); newline != std::string::npos) {
      buffer_.erase(0, newline + 1);
      scanned_ = 0;
      return true;
    }
    buffer_.clear();
    scanned_ = 0;
    for (;;) {
      char chunk[65536];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      const auto* newline = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(n)));
      if (newline != nullptr) {
        buffer_.assign(newline + 1, static_cast<std::size_t>(chunk + n - (newline + 1)));
        return true;
      }
    }
  }

 private:
  int fd_;
  std::string buffer_;
  std::size_t scanned_ = 0;
};

inline bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A bench relay's connection to the application: 127.0.0.1 on the port in
// TRELLUNE_MCP_PORT, with TCP_NODELAY as socat is run with, so each line
// leaves at once. On failure says why, prefixed with `program`, and returns
// the exit status to end with (2 without the variable, 1 if the connection
// fails) as a negative number.
inline int connect_to_application(const char* program) {
  const char* port = std::getenv("TRELLUNE_MCP_PORT");
  if (port == nullptr) {
    std::fprintf(stderr, "%s: TRELLUNE_MCP_PORT is not set\n", program);
    return -2;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "%s: connect: %s\n", program, std::strerror(errno));
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace trellune::bench
