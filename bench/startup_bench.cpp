// Measures what a bridge's start costs, whole: from the spawn to the exit of
// an executable that connects to a listener on 127.0.0.1 (which accepts and
// closes), checks its peer, confines itself, and finds standard input at its
// end. Several executables (builds before and after a change) run in turn,
// in alternating order, so that a slow spell of the shared machine hits them
// alike; each is set against the first by the median of the paired
// differences, which resolves a tenth of a millisecond where the medians of
// whole runs, a few milliseconds each, wander by more.
//
//   startup_bench [--runs N] [--sockets N] [--env NAME=VALUE]... EXECUTABLE...
//
// --sockets N opens about N loopback sockets first (pairs of connected ends),
// as on a busy machine, whose socket tables the peer check's lookups walk.
// --env adds a variable to the executables' environment, e.g. the
// fault-injection library with TRELLUNE_FAULT_NO_NETLINK=1 to time the
// /proc fallback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int loopback_listener(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1024) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listener");
    std::exit(1);
  }
  port = ntohs(address.sin_port);
  return fd;
}

// Connected pairs that stay open for the whole run; as many as the
// descriptor limit allows, up to `count` sockets.
std::vector<int> open_loopback_sockets(std::size_t count) {
  if (count == 0) return {};
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  std::uint16_t port = 0;
  const int listener = loopback_listener(port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::vector<int> sockets{listener};
  const std::size_t spare = 64;
  while (sockets.size() + 2 <= count && sockets.size() + 2 + spare < limit.rlim_cur) {
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
    const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0) break;
    sockets.push_back(client);
    sockets.push_back(server);
  }
  return sockets;
}

// One start of `executable`, in microseconds; exits on a failed run, whose
// figure would mean nothing.
double timed_run(const std::string& executable, const std::vector<std::string>& environment) {
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(executable.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
    std::perror(executable.c_str());
    std::exit(1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s did not exit with status 0 (wait status %d)\n", executable.c_str(), status);
    std::exit(1);
  }
  return micros;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  std::size_t socket_count = 0;
  std::vector<std::string> environment;
  std::vector<std::string> executables;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (arg == "--sockets" && i + 1 < argc) {
      socket_count = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (arg == "--env" && i + 1 < argc) {
      environment.emplace_back(argv[++i]);
    } else {
      executables.push_back(arg);
    }
  }
  if (executables.empty() || runs <= 0) {
    std::fprintf(stderr, "usage: startup_bench [--runs N] [--sockets N] [--env NAME=VALUE]... EXECUTABLE...\n");
    return 2;
  }

  const std::vector<int> held = open_loopback_sockets(socket_count);
  std::uint16_t port = 0;
  const int listener = loopback_listener(port);
  std::atomic<bool> stopping{false};
  std::thread acceptor([&] {
    while (!stopping.load()) {
      const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) ::close(connection);
    }
  });
  environment.push_back("TRELLUNE_MCP_PORT=" + std::to_string(port));
  environment.push_back("TRELLUNE_MCP_TOKEN=startup-bench");

  std::vector<std::vector<double>> times(executables.size());
  for (int run = 0; run < runs; ++run) {
    for (std::size_t k = 0; k < executables.size(); ++k) {
      const std::size_t which = run % 2 == 0 ? k : executables.size() - 1 - k;
      times[which].push_back(timed_run(executables[which], environment));
    }
  }

  std::printf("%d runs each, alternating; %zu loopback sockets held open\n", runs, held.size());
  std::printf("%-40s %12s %22s\n", "executable", "median us", "paired vs first us");
  for (std::size_t k = 0; k < executables.size(); ++k) {
    std::vector<double> differences;
    for (int run = 0; run < runs; ++run) differences.push_back(times[k][run] - times[0][run]);
    std::printf("%-40s %12.0f %+22.0f\n", executables[k].c_str(), median(times[k]), median(differences));
  }

  stopping = true;
  ::shutdown(listener, SHUT_RDWR);  // wakes the acceptor
  acceptor.join();
  return 0;
}
