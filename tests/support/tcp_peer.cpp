#include "support/tcp_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace trellune::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

TcpConnection::~TcpConnection() { close(); }

void TcpConnection::close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

bool TcpConnection::fill(Clock::time_point deadline) {
  char buffer[65536];
  for (;;) {
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, remaining_ms(deadline));
    if (ready <= 0) return false;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      buffered_.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    eof_ = true;  // end of file, or a reset: either way nothing more comes
    return false;
  }
}

std::string TcpConnection::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline + 1);
      buffered_.erase(0, newline + 1);
      return line;
    }
    if (eof_ || fd_ < 0 || !fill(deadline)) return {};
  }
}

std::string TcpConnection::read_until_eof(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!eof_ && fd_ >= 0 && fill(deadline)) continue;
  return std::exchange(buffered_, {});
}

bool TcpConnection::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void TcpConnection::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

void TcpConnection::reset() {
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close();
}

TcpListener::TcpListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 64) != 0) {
    std::perror("listener");
    std::abort();
  }
  socklen_t length = sizeof address;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

TcpListener::~TcpListener() { ::close(fd_); }

TcpConnection TcpListener::accept(std::chrono::milliseconds timeout) {
  pollfd pfd{fd_, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return TcpConnection(-1);
  return TcpConnection(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

bool TcpListener::has_pending_connection() {
  pollfd pfd{fd_, POLLIN, 0};
  return ::poll(&pfd, 1, 0) > 0;
}

std::uint16_t unused_port() {
  // Bound and closed without listen: nothing accepts on it afterwards, and a
  // connect gets ECONNREFUSED.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace trellune::testing
