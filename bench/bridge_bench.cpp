// Measures the bridge end to end against two baselines in the same run:
// socat as a pure relay (it neither parses nor waits) and the client talking
// to the application directly (the physical limit). Workloads are ping-pong,
// one request in flight, as an MCP client does; configurations are
// interleaved round by round so that machine noise hits all of them alike.
//
//   bridge_bench [--rounds N] [--corpus DIR] [--small-only] BRIDGE_EXECUTABLE...
//
// Several bridge executables (builds with different settings) can be compared
// in one run; the first is the one set against the baselines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line + "\n");
  }
  if (lines.empty()) {
    std::fprintf(stderr, "bridge_bench: no lines in %s\n", path.c_str());
    std::exit(2);
  }
  return lines;
}

// Blocking line reader over one descriptor.
class LineSource {
 public:
  explicit LineSource(int fd) : fd_(fd) {}
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

 private:
  int fd_;
  std::string buffer_;
  std::size_t scanned_ = 0;
};

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The application: answers every line with one short JSON-RPC result line,
// on every connection it accepts, until the listener is shut down.
class Application {
 public:
  Application() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 64);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { accept_loop(); });
  }
  ~Application() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }

 private:
  void accept_loop() {
    for (;;) {
      const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      std::thread([connection] {
        static const std::string reply =
            R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":"done"}],"isError":false}})" "\n";
        LineSource source(connection);
        std::string line;
        while (source.read_line(line) && write_all(connection, reply)) {
        }
        ::close(connection);
      }).detach();
    }
  }

  int fd_;
  std::uint16_t port_;
  std::thread thread_;
};

// One client connection: through a spawned relay's pipes, or straight to the
// application.
struct Relay {
  pid_t pid = -1;
  int to_relay = -1;
  int from_relay = -1;
};

Relay spawn_relay(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  return Relay{pid, in[1], out[0]};
}

Relay connect_direct(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return Relay{-1, fd, fd};
}

// Peak resident set of the relay process since its exec (the rusage of a
// forked child would also count the pages it shared with this process).
long peak_rss_kib(const Relay& relay) {
  if (relay.pid < 0) return 0;
  std::ifstream status("/proc/" + std::to_string(relay.pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

void finish(Relay& relay) {
  ::close(relay.to_relay);
  if (relay.pid < 0) return;
  std::string rest;
  LineSource drain(relay.from_relay);
  while (drain.read_line(rest)) {
  }
  ::close(relay.from_relay);
  int status = 0;
  ::waitpid(relay.pid, &status, 0);
}

// A way of reaching the application: a bridge executable, socat, or none.
struct Contender {
  enum class Kind { Bridge, Socat, Direct } kind;
  std::string name;
  std::string executable;  // bridges only
};

Relay open_relay(const Contender& contender, std::uint16_t port) {
  switch (contender.kind) {
    case Contender::Kind::Bridge:
      return spawn_relay({contender.executable},
                         {"TRELLUNE_MCP_PORT=" + std::to_string(port), "TRELLUNE_MCP_TOKEN=bench-token"});
    case Contender::Kind::Socat:
      return spawn_relay({"socat", "STDIO", "TCP:127.0.0.1:" + std::to_string(port) + ",nodelay"},
                         {"PATH=/usr/bin:/bin"});
    case Contender::Kind::Direct:
      return connect_direct(port);
  }
  std::abort();
}

// Sends each line and waits for its reply; returns each round trip's time.
std::vector<double> ping_pong(Relay& relay, const std::vector<std::string>& lines) {
  std::vector<double> micros;
  micros.reserve(lines.size());
  LineSource replies(relay.from_relay);
  std::string reply;
  for (const std::string& line : lines) {
    const auto start = Clock::now();
    if (!write_all(relay.to_relay, line) || !replies.read_line(reply)) {
      std::fprintf(stderr, "bridge_bench: relay stopped answering\n");
      std::exit(1);
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return micros;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  return values[index];
}

struct Figures {
  std::vector<double> small_round_trips;
  std::map<std::string, double> seconds;  // per throughput corpus
  std::vector<double> startup_micros;
  long peak_rss_kib = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::string corpus = TRELLUNE_CORPUS_DIR;
  int rounds = 5;
  bool small_only = false;
  std::vector<Contender> contenders;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--corpus" && i + 1 < argc) {
      corpus = argv[++i];
    } else if (arg == "--small-only") {
      small_only = true;
    } else {
      const std::string name = contenders.empty() ? "trellune-mcp" : "bridge " + std::to_string(contenders.size() + 1);
      contenders.push_back({Contender::Kind::Bridge, name, arg});
    }
  }
  if (contenders.empty() || rounds < 1) {
    std::fprintf(stderr, "usage: bridge_bench [--rounds N] [--corpus DIR] [--small-only] BRIDGE_EXECUTABLE...\n");
    return 2;
  }
  const bool have_socat = std::system("command -v socat >/dev/null 2>&1") == 0;
  if (have_socat) {
    contenders.push_back({Contender::Kind::Socat, "socat", ""});
  } else {
    std::fprintf(stderr, "bridge_bench: socat not found; its baseline is skipped\n");
  }
  contenders.push_back({Contender::Kind::Direct, "direct", ""});

  const std::vector<std::string> small = read_lines(corpus + "/mcp_small.jsonl");
  std::vector<std::string> throughput_names;
  if (!small_only) throughput_names = {"large", "twitter", "citm_catalog", "canada"};
  std::map<std::string, std::vector<std::string>> throughput;
  std::map<std::string, double> corpus_bytes;
  for (const auto& name : throughput_names) {
    throughput[name] = read_lines(corpus + "/" + name + ".jsonl");
    for (const auto& line : throughput[name]) corpus_bytes[name] += static_cast<double>(line.size());
  }

  Application application;
  std::vector<Figures> figures(contenders.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      Figures& f = figures[c];
      // Start-up: spawn to first reply.
      const auto spawned = Clock::now();
      Relay relay = open_relay(contenders[c], application.port());
      (void)ping_pong(relay, {small.front()});
      f.startup_micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - spawned).count());
      // Small requests, then the peak RSS of a process that served only them.
      std::vector<double> trips = ping_pong(relay, small);
      f.small_round_trips.insert(f.small_round_trips.end(), trips.begin(), trips.end());
      f.peak_rss_kib = std::max(f.peak_rss_kib, peak_rss_kib(relay));
      finish(relay);
      // Large lines, each corpus in its own process.
      for (const auto& name : throughput_names) {
        Relay bulk = open_relay(contenders[c], application.port());
        const auto start = Clock::now();
        (void)ping_pong(bulk, throughput[name]);
        f.seconds[name] += std::chrono::duration<double>(Clock::now() - start).count();
        finish(bulk);
      }
    }
  }

  std::printf("%d rounds, interleaved; %zu small requests per round\n\n", rounds, small.size());
  std::printf("%-14s %12s %12s %12s %10s", "relay", "median us", "p99 us", "start-up us", "RSS KiB");
  for (const auto& name : throughput_names) std::printf(" %12s", (name + " MB/s").c_str());
  std::printf("\n");
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    Figures& f = figures[c];
    std::printf("%-14s %12.1f %12.1f %12.1f %10ld", contenders[c].name.c_str(), percentile(f.small_round_trips, 0.5),
                percentile(f.small_round_trips, 0.99), percentile(f.startup_micros, 0.5), f.peak_rss_kib);
    for (const auto& name : throughput_names) {
      std::printf(" %12.1f", corpus_bytes[name] * rounds / f.seconds[name] / 1e6);
    }
    std::printf("\n");
  }
  if (have_socat) {
    const Figures& b = figures.front();
    const Figures& s = figures[figures.size() - 2];
    std::printf("\ntrellune-mcp / socat: median round trip %.2fx, p99 %.2fx, start-up %.2fx, RSS %.2fx",
                percentile(b.small_round_trips, 0.5) / percentile(s.small_round_trips, 0.5),
                percentile(b.small_round_trips, 0.99) / percentile(s.small_round_trips, 0.99),
                percentile(b.startup_micros, 0.5) / percentile(s.startup_micros, 0.5),
                static_cast<double>(b.peak_rss_kib) / static_cast<double>(s.peak_rss_kib));
    for (const auto& name : throughput_names) {
      std::printf(", %s throughput %.2fx", name.c_str(), s.seconds.at(name) / b.seconds.at(name));
    }
    std::printf("\n");
  }
  return 0;
}
