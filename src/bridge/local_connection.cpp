#include "bridge/local_connection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "bridge/peer_listing.hpp"
#include "bridge/peer_owner.hpp"

namespace trellune {

SharedSocket::SharedSocket(EventLoop& loop, int fd, Registration registration)
    : loop_(loop), fd_(fd), registration_(std::move(registration)) {}

SharedSocket::~SharedSocket() {
  loop_.deregister(registration_);
  ::close(fd_);  // never retried: the descriptor is gone whatever close says
}

IoStatus SharedSocket::take_pending_error() const {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return io_error_from_errno();
  if (error != 0) return IoError::from_os_code(error);
  return {};
}

SocketWriteSide::~SocketWriteSide() {
  if (socket_) {
    // Failures (ENOTCONN after a reset, ...) change nothing at this point.
    (void)::shutdown(socket_->fd(), SHUT_WR);
  }
}

namespace {

// The address, in the layout connect() takes.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

std::optional<SocketAddress> ipv4_literal(const std::string& host, std::uint16_t port) {
  constexpr std::size_t kLongestDottedQuad = 15;  // "255.255.255.255"
  SocketAddress address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  if (host.size() > kLongestDottedQuad || ::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) {
    return std::nullopt;
  }
  v4->sin_family = AF_INET;
  v4->sin_port = htons(port);
  address.length = sizeof(sockaddr_in);
  return address;
}

// Before the first byte: every request carries the token, the key to the
// user's application, and another user gets not one byte of it. The lookup
// blocks the loop briefly; nothing else runs yet.
IoStatus vet_peer(int fd) {
  IoResult<PeerEvidence> evidence = gather_peer_evidence(fd);
  if (!evidence) {
    return std::move(evidence).error();
  }
  return judge_peer(*evidence);
}

IoError close_with(int fd, IoError error) {
  ::close(fd);
  return error;
}

// One connection attempt: a non-blocking connect whose outcome the kernel
// reports as writability, then SO_ERROR.
Task<IoResult<LocalConnection>> attempt(EventLoop& loop, SocketAddress address) {
  const int fd = ::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    co_return io_error_from_errno();
  }
  if (::connect(fd, address.get(), address.length) != 0 && errno != EINPROGRESS) {
    co_return close_with(fd, io_error_from_errno());
  }
  IoResult<Registration> registration = loop.register_fd(fd);
  if (!registration) {
    co_return close_with(fd, std::move(registration).error());
  }
  // Build the owner now: from here every failure deregisters and closes.
  auto socket = std::make_shared<SharedSocket>(loop, fd, std::move(*registration));
  auto writable = loop.wait_writable(socket->registration());
  (void)co_await writable;

  if (IoStatus connected = socket->take_pending_error(); !connected) {
    co_return std::move(connected).error();
  }
  if (IoStatus vetted = vet_peer(fd); !vetted) {
    co_return std::move(vetted).error();
  }
  // A request leaves in one sendmsg, but one longer than a segment would
  // have its last segment held by Nagle's algorithm until the peer's delayed
  // acknowledgement (~40 ms).
  const int enable = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
  co_return LocalConnection::adopt(std::move(socket));
}

}  // namespace

Task<IoResult<LocalConnection>> LocalConnection::open(EventLoop& loop, std::string host, std::uint16_t port) {
  const std::optional<SocketAddress> address = ipv4_literal(host, port);
  if (!address) {
    co_return IoError::with_custom_message(IoErrorKind::InvalidInput, "not an IPv4 address: " + host);
  }
  Task<IoResult<LocalConnection>> connecting = attempt(loop, *address);
  co_return co_await std::move(connecting);
}

std::pair<SocketReadSide, SocketWriteSide> LocalConnection::split() && {
  SocketReadSide read_side(socket_);
  SocketWriteSide write_side(std::move(socket_));
  return {std::move(read_side), std::move(write_side)};
}

}  // namespace trellune
