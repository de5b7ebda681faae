// The floor a relay can reach: one thread and blocking calls. Reads a line
// from standard input, sends it with its newline to 127.0.0.1 on the port in
// TRELLUNE_MCP_PORT, reads one reply line and writes it to standard output.
// No JSON, no token: what is left of the bridge's cost is the relaying itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

#include "line_io.hpp"

int main() {
  using trellune::bench::LineSource;
  using trellune::bench::write_all;
  const char* port = std::getenv("TRELLUNE_MCP_PORT");
  if (port == nullptr) {
    std::fputs("plain_relay: TRELLUNE_MCP_PORT is not set\n", stderr);
    return 2;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("plain_relay: connect");
    return 1;
  }
  // As socat is run with nodelay: each line leaves at once.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  LineSource requests(0);
  LineSource replies(fd);
  std::string line;
  while (requests.read_line(line) && write_all(fd, line) && replies.read_line(line) && write_all(1, line)) {
  }
  ::close(fd);
  return 0;
}
