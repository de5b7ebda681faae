// The floor a relay can reach: one thread and blocking calls. Reads a line
// from standard input, sends it with its newline to 127.0.0.1 on the port in
// TRELLUNE_MCP_PORT, reads one reply line and writes it to standard output.
// No JSON, no token: what is left of the bridge's cost is the relaying itself.
#include "line_io.hpp"

int main() {
  using trellune::bench::LineSource;
  using trellune::bench::write_all;
  const int fd = trellune::bench::connect_to_application("plain_relay");
  if (fd < 0) return -fd;

  LineSource requests(0);
  LineSource replies(fd);
  std::string line;
  while (requests.read_line(line) && write_all(fd, line) && replies.read_line(line) && write_all(1, line)) {
  }
  ::close(fd);
  return 0;
}
