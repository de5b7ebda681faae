// The bridge's one TCP connection to the desktop application, and the two
// sides (read and write) that share its socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "event_loop/event_loop.hpp"
#include "io_error/io_error.hpp"

namespace trellune {

// The connected, non-blocking socket and its reactor registration. Released
// (deregistered, then closed) when the last side holding it is released.
class SharedSocket {
 public:
  SharedSocket(EventLoop& loop, int fd, Registration registration);
  SharedSocket(const SharedSocket&) = delete;
  SharedSocket& operator=(const SharedSocket&) = delete;
  ~SharedSocket();

  EventLoop& loop() const { return loop_; }
  int fd() const { return fd_; }
  Registration& registration() { return registration_; }
  // The error the socket holds (SO_ERROR), which reading it clears: the
  // outcome of a connect, or a reset that came after the peer's end of stream.
  IoStatus take_pending_error() const;

 private:
  EventLoop& loop_;
  int fd_;
  Registration registration_;
};

class SocketReadSide {
 public:
  explicit SocketReadSide(std::shared_ptr<SharedSocket> socket) : socket_(std::move(socket)) {}
  SharedSocket& socket() const { return *socket_; }

 private:
  std::shared_ptr<SharedSocket> socket_;
};

// Shuts the sending direction down on release, so the application reads end
// of file before the connection goes away.
class SocketWriteSide {
 public:
  explicit SocketWriteSide(std::shared_ptr<SharedSocket> socket) : socket_(std::move(socket)) {}
  SocketWriteSide(SocketWriteSide&&) noexcept = default;
  SocketWriteSide& operator=(SocketWriteSide&&) = delete;
  ~SocketWriteSide();
  SharedSocket& socket() const { return *socket_; }

 private:
  std::shared_ptr<SharedSocket> socket_;
};

class LocalConnection {
 public:
  // Connects to `host`, an IPv4 address in dotted form (the bridge's is the
  // fixed 127.0.0.1), at `port`, and vets the peer before anything is sent:
  // the peer check judges IPv4 ends, so a name or an IPv6 address is
  // InvalidInput. No time limit: the kernel decides.
  static Task<IoResult<LocalConnection>> open(EventLoop& loop, std::string host, std::uint16_t port);
  // Takes over a socket whose connection is established.
  static LocalConnection adopt(std::shared_ptr<SharedSocket> socket) { return LocalConnection(std::move(socket)); }

  LocalConnection(LocalConnection&&) noexcept = default;
  LocalConnection& operator=(LocalConnection&&) noexcept = default;

  std::pair<SocketReadSide, SocketWriteSide> split() &&;

 private:
  explicit LocalConnection(std::shared_ptr<SharedSocket> socket) : socket_(std::move(socket)) {}
  std::shared_ptr<SharedSocket> socket_;
};

}  // namespace trellune
