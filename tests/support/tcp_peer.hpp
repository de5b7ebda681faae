// A TCP peer on 127.0.0.1 that stands in for the desktop application.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace trellune::testing {

using namespace std::chrono_literals;

class TcpConnection {
 public:
  explicit TcpConnection(int fd) : fd_(fd) {}
  TcpConnection(TcpConnection&& other) noexcept : fd_(other.fd_), buffered_(std::move(other.buffered_)) {
    other.fd_ = -1;
  }
  TcpConnection& operator=(TcpConnection&&) = delete;
  ~TcpConnection();

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Reads through the next "\n" (included). Empty on end of file or timeout.
  std::string read_line(std::chrono::milliseconds timeout = 10s);
  // Reads until end of file; what arrived before it (or the deadline).
  std::string read_until_eof(std::chrono::milliseconds timeout = 10s);
  bool eof_seen() const { return eof_; }
  bool write(std::string_view bytes);
  void shutdown_write();
  // Closes with a reset (SO_LINGER 0) instead of a graceful close.
  void reset();
  void close();

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);

  int fd_;
  std::string buffered_;
  bool eof_ = false;
};

class TcpListener {
 public:
  // Binds 127.0.0.1 on a port the kernel picks.
  TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  ~TcpListener();

  std::uint16_t port() const { return port_; }
  // Accepts one connection, or returns an invalid one after the timeout.
  TcpConnection accept(std::chrono::milliseconds timeout = 10s);
  // True when a connection is waiting to be accepted.
  bool has_pending_connection();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 on which nothing listens (bound, then released).
std::uint16_t unused_port();

}  // namespace trellune::testing
