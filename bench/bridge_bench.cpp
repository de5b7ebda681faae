// Measures the bridge end to end against baselines in the same run: socat as
// a pure relay (it neither parses nor waits on other threads), plain_relay
// (one thread, blocking calls, the floor for a relay process),
// two_thread_relay (the floor for the bridge's threads: standard streams on a
// worker, the socket on the main thread), the same relay doing the bridge's
// own work as well, UTF-8 checks and stamping (two_thread_json, the floor for
// any bridge of that structure) and the client talking to the application
// directly (the physical limit). Workloads are
// ping-pong, one request in flight, as an MCP client does: small requests,
// large requests (the corpora), and small requests that draw large replies,
// as resource reads, file contents and screenshots do in MCP.
//
// Every figure is taken twice: on an idle machine, and with one core kept
// busy by a spinning process, as on a desktop where the client, the
// application and a browser all run. Rounds interleave the contenders (in a
// rotating order) and the two conditions; each figure is the median over
// rounds, and each ratio the median of the per-round ratios, so that a slow
// spell of the shared machine hits the contenders alike.
//
//   bridge_bench [--rounds N] [--requests N] [--gap-us N] [--corpus DIR]
//                [--small-only | --replies-only | --corpora-only] [--reply-mb N] [--idle-only | --busy-only]
//                BRIDGE_EXECUTABLE...
//
// --gap-us makes the client pause that long before each request, as a client
// that sends a request now and then does: every request then finds the
// relay's threads asleep. --replies-only measures only the large replies,
// --corpora-only only the large requests, --reply-mb N sets how many MB of
// replies each process relays per workload.
//
// A large workload's first line in a process is reported apart: it pays what
// every relay pays once, the first growth of its buffers with their page
// faults and a fresh connection's windows. A corpus of fewer lines than
// kCorpusBytesPerProcess is cycled up to it, so that its rate and median
// round trip are those of a relay that has run a while, as a client's does.
//
// Several bridge executables (builds with different settings) can be compared
// in one run; each is set against the baselines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "line_io.hpp"
#include "sample_text.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using trellune::bench::LineSource;
using trellune::bench::SampleText;
using trellune::bench::append_sample_text;
using trellune::bench::write_all;

// The least each process relays of a request corpus: the largest corpus's
// size, so that every corpus is measured over several lines.
constexpr double kCorpusBytesPerProcess = 8e6;

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

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string text;
  std::getline(in, text);
  return text;
}

// A large reply line: a JSON-RPC result whose one text member holds about
// `size` bytes of `kind`.
std::string make_reply(SampleText kind, std::size_t size) {
  std::string line = R"({"jsonrpc":"2.0","id":1,"result":{"contents":[{"uri":"bench://reply","text":")";
  const std::string tail = "\"}]}}\n";
  const std::size_t end = size - tail.size();
  append_sample_text(line, kind, end);
  // A word or glyph may run past the end: cut back to a character's start.
  while (line.size() > end || (static_cast<unsigned char>(line.back()) & 0xC0) == 0xC0) {
    std::size_t cut = line.size() - 1;
    while ((static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  // ... and not inside an escape.
  while (line.back() == '\\') line.pop_back();
  return line + tail;
}

struct ReplyWorkload {
  std::string name;  // also the resource the request asks for
  std::string reply;
  std::string request;
};

std::vector<ReplyWorkload> make_reply_workloads() {
  std::vector<ReplyWorkload> workloads;
  constexpr std::pair<const char*, SampleText> kKinds[] = {
      {"ascii", SampleText::kAscii}, {"utf8", SampleText::kMultiByte}, {"base64", SampleText::kBase64}};
  for (const std::size_t megabytes : {1, 16}) {
    for (const auto& [kind_name, kind] : kKinds) {
      const std::string name = std::string(kind_name) + "-" + std::to_string(megabytes) + "M";
      workloads.push_back({name, make_reply(kind, megabytes << 20),
                           R"({"jsonrpc":"2.0","id":7,"method":"resources/read","params":{"uri":"bench://)" + name +
                               "\"}}\n"});
    }
  }
  return workloads;
}

// The application: answers every line with one short JSON-RPC result line,
// or, for a request naming "bench://NAME", with that workload's reply, on
// every connection it accepts, until the listener is shut down.
class Application {
 public:
  explicit Application(const std::vector<ReplyWorkload>& workloads) : workloads_(workloads) {
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
  const std::string& reply_to(const std::string& request) const {
    static const std::string short_reply =
        R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":"done"}],"isError":false}})" "\n";
    const std::size_t at = request.find("bench://");
    if (at == std::string::npos) return short_reply;
    const std::size_t begin = at + 8;
    const std::string name = request.substr(begin, request.find('"', begin) - begin);
    for (const ReplyWorkload& workload : workloads_) {
      if (workload.name == name) return workload.reply;
    }
    return short_reply;
  }

  void accept_loop() {
    for (;;) {
      const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      std::thread([this, connection] {
        LineSource source(connection);
        std::string line;
        while (source.read_line(line) && write_all(connection, reply_to(line))) {
        }
        ::close(connection);
      }).detach();
    }
  }

  const std::vector<ReplyWorkload>& workloads_;
  int fd_;
  std::uint16_t port_;
  std::thread thread_;
};

// Keeps one core busy from construction to destruction: a child process that
// spins without a system call, ended by its process id.
class BusyCore {
 public:
  BusyCore() {
    pid_ = ::fork();
    if (pid_ == 0) {
      // Ends with the benchmark even when that aborts.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) __asm__ __volatile__("" ::: "memory");
    }
  }
  ~BusyCore() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  BusyCore(const BusyCore&) = delete;
  BusyCore& operator=(const BusyCore&) = delete;

 private:
  pid_t pid_;
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

// CPU time of a live process's main thread, in microseconds: the first field
// of /proc/PID/schedstat, which is the main thread's alone (nanoseconds on a
// CPU). Zero for a direct connection or when it cannot be read.
double main_thread_cpu_micros(const Relay& relay) {
  if (relay.pid < 0) return 0;
  std::ifstream schedstat("/proc/" + std::to_string(relay.pid) + "/schedstat");
  double nanoseconds = 0;
  schedstat >> nanoseconds;
  return nanoseconds / 1000;
}

// What a relay process cost over its whole life, every thread included.
struct Usage {
  double cpu_micros = 0;  // user + system
  double context_switches = 0;
};

double micros(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); }

// Ends the client's side, lets the relay drain and exit, and reaps it.
Usage finish(Relay& relay) {
  ::close(relay.to_relay);
  if (relay.pid < 0) return {};
  std::string rest;
  LineSource drain(relay.from_relay);
  while (drain.read_line(rest)) {
  }
  ::close(relay.from_relay);
  int status = 0;
  rusage usage{};
  ::wait4(relay.pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bridge_bench: relay %d ended with status %d\n", relay.pid, status);
    std::exit(1);
  }
  return Usage{micros(usage.ru_utime) + micros(usage.ru_stime),
               static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw)};
}

// A way of reaching the application: a bridge executable, socat, one of the
// two bench relays, or none.
struct Contender {
  enum class Kind { Bridge, Socat, BenchRelay, Direct } kind;
  std::string name;
  std::string executable;  // bridges and the bench relays
  bool given_token = false;  // a bench relay that stamps requests as the bridge does
};

Relay open_relay(const Contender& contender, std::uint16_t port) {
  const std::string port_text = std::to_string(port);
  switch (contender.kind) {
    case Contender::Kind::Bridge:
    case Contender::Kind::BenchRelay: {
      std::vector<std::string> env = {"TRELLUNE_MCP_PORT=" + port_text};
      if (contender.kind == Contender::Kind::Bridge || contender.given_token) {
        env.push_back("TRELLUNE_MCP_TOKEN=bench-token");
      }
      return spawn_relay({contender.executable}, env);
    }
    case Contender::Kind::Socat:
      return spawn_relay({"socat", "STDIO", "TCP:127.0.0.1:" + port_text + ",nodelay"}, {"PATH=/usr/bin:/bin"});
    case Contender::Kind::Direct:
      return connect_direct(port);
  }
  std::abort();
}

// Whether the client keeps each reply, as a client does, or only finds its
// end, for replies so large that keeping them would cost the client more
// than the relay.
enum class Replies : bool { kKept, kCounted };

// Sends `count` lines, cycling through `lines`, each `gap` after the reply to
// the one before; returns each round trip's time.
std::vector<double> ping_pong(Relay& relay, const std::vector<std::string>& lines, std::size_t count,
                              std::chrono::microseconds gap = {}, Replies replies_are = Replies::kKept) {
  std::vector<double> trips;
  trips.reserve(count);
  LineSource replies(relay.from_relay);
  std::string reply;
  for (std::size_t i = 0; i < count; ++i) {
    if (gap.count() > 0) std::this_thread::sleep_for(gap);
    const auto start = Clock::now();
    const bool sent = write_all(relay.to_relay, lines[i % lines.size()]);
    if (!sent || !(replies_are == Replies::kKept ? replies.read_line(reply) : replies.skip_line())) {
      std::fprintf(stderr, "bridge_bench: relay stopped answering\n");
      std::exit(1);
    }
    trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return trips;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

double median(const std::vector<double>& values) { return percentile(values, 0.5); }

// One contender's figures in one round and condition, by name.
using Figures = std::map<std::string, double>;

// What is reported, in column order; throughput columns follow.
struct Column {
  const char* key;
  const char* heading;
  bool as_ratio = true;  // also set against each baseline
};
constexpr Column kColumns[] = {
    {"median", "median us"},
    {"p99", "p99 us"},
    {"cpu", "CPU us/req"},
    {"main cpu", "main us/req", false},
    {"switches", "ctx sw/req", false},
    {"startup", "start-up us"},
    {"rss", "RSS KiB"},
};

// A workload of large lines, relayed in a process of its own: the requests
// sent, and what the application answers them with.
struct BulkWorkload {
  std::string name;
  std::vector<std::string> requests;
  double bytes = 0;  // of the large lines: the requests, or the replies
};

// What is reported for each bulk workload, by key suffix.
constexpr Column kBulkColumns[] = {
    {"rate", "MB/s"},
    {"trip", "trip p50 ms"},
    {"first", "1st trip ms"},
    {"cpu", "CPU ms/MB"},
    {"rss", "peak RSS KiB"},
    {"grown", "RSS+ KiB"},
};

struct Workloads {
  const std::vector<std::string>& small;
  std::size_t requests;  // small ones, 0 for none
  std::chrono::microseconds gap;
  const std::vector<BulkWorkload>& bulk;
};

Figures measure(const Contender& contender, std::uint16_t port, const Workloads& w) {
  Figures f;
  // Start-up: spawn to first reply, in a process that serves only that; its
  // cost is taken off the next processes' to leave the cost of their work.
  const auto spawned = Clock::now();
  Relay first = open_relay(contender, port);
  (void)ping_pong(first, w.small, 1);
  f["startup"] = std::chrono::duration<double, std::micro>(Clock::now() - spawned).count();
  const Usage startup = finish(first);

  if (w.requests > 0) {
    Relay relay = open_relay(contender, port);
    (void)ping_pong(relay, w.small, 1);
    const double main_before = main_thread_cpu_micros(relay);
    const std::vector<double> trips = ping_pong(relay, w.small, w.requests, w.gap);
    f["main cpu"] = (main_thread_cpu_micros(relay) - main_before) / static_cast<double>(w.requests);
    f["median"] = median(trips);
    f["p99"] = percentile(trips, 0.99);
    f["rss"] = static_cast<double>(peak_rss_kib(relay));
    const Usage used = finish(relay);
    f["cpu"] = (used.cpu_micros - startup.cpu_micros) / static_cast<double>(w.requests);
    f["switches"] = (used.context_switches - startup.context_switches) / static_cast<double>(w.requests);
  }

  // Large lines, each workload in its own process, after one small request
  // that leaves the process as an idle bridge is: its peak resident set then
  // is the base the workload's growth is measured from.
  for (const BulkWorkload& bulk : w.bulk) {
    Relay relay = open_relay(contender, port);
    (void)ping_pong(relay, w.small, 1);
    const double idle_rss = static_cast<double>(peak_rss_kib(relay));
    const auto start = Clock::now();
    const std::vector<double> trips =
        ping_pong(relay, bulk.requests, bulk.requests.size(), {}, Replies::kCounted);
    const double elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const double rss = static_cast<double>(peak_rss_kib(relay));
    const Usage used = finish(relay);
    const double megabytes = bulk.bytes / 1e6;
    f[bulk.name + " rate"] = bulk.bytes / elapsed;
    f[bulk.name + " trip"] = median(trips) / 1000;
    f[bulk.name + " first"] = trips.front() / 1000;
    f[bulk.name + " cpu"] = (used.cpu_micros - startup.cpu_micros) / 1000 / megabytes;
    f[bulk.name + " rss"] = rss;
    f[bulk.name + " grown"] = rss - idle_rss;
  }
  return f;
}

std::string self_directory() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string text(path, static_cast<std::size_t>(n));
  return text.substr(0, text.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::string corpus = TRELLUNE_CORPUS_DIR;
  int rounds = 5;
  std::size_t requests = 5000;
  std::chrono::microseconds gap{0};
  bool small_only = false;
  bool replies_only = false;
  bool corpora_only = false;
  std::size_t reply_megabytes = 64;
  bool idle_only = false;
  bool busy_only = false;
  std::vector<Contender> contenders;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--requests" && i + 1 < argc) {
      requests = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (arg == "--gap-us" && i + 1 < argc) {
      gap = std::chrono::microseconds(std::atol(argv[++i]));
    } else if (arg == "--corpus" && i + 1 < argc) {
      corpus = argv[++i];
    } else if (arg == "--small-only") {
      small_only = true;
    } else if (arg == "--replies-only") {
      replies_only = true;
    } else if (arg == "--corpora-only") {
      corpora_only = true;
    } else if (arg == "--reply-mb" && i + 1 < argc) {
      reply_megabytes = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (arg == "--idle-only") {
      idle_only = true;
    } else if (arg == "--busy-only") {
      busy_only = true;
    } else {
      const std::string name = contenders.empty() ? "trellune-mcp" : "bridge " + std::to_string(contenders.size() + 1);
      contenders.push_back({Contender::Kind::Bridge, name, arg});
    }
  }
  if (contenders.empty() || rounds < 1 || requests < 1 || gap.count() < 0 || (idle_only && busy_only) ||
      small_only + replies_only + corpora_only > 1 || reply_megabytes < 1) {
    std::fprintf(stderr,
                 "usage: bridge_bench [--rounds N] [--requests N] [--gap-us N] [--corpus DIR] "
                 "[--small-only | --replies-only | --corpora-only] [--reply-mb N] [--idle-only | --busy-only] "
                 "BRIDGE_EXECUTABLE...\n");
    return 2;
  }
  const std::size_t bridges = contenders.size();
  std::size_t socat = 0;
  if (std::system("command -v socat >/dev/null 2>&1") == 0) {
    socat = contenders.size();
    contenders.push_back({Contender::Kind::Socat, "socat", ""});
  } else {
    std::fprintf(stderr, "bridge_bench: socat not found; its baseline is skipped\n");
  }
  const std::size_t plain = contenders.size();
  contenders.push_back({Contender::Kind::BenchRelay, "plain_relay", self_directory() + "/plain_relay"});
  const std::size_t two_thread = contenders.size();
  contenders.push_back({Contender::Kind::BenchRelay, "two_thread", self_directory() + "/two_thread_relay"});
  const std::size_t two_thread_json = contenders.size();
  contenders.push_back({Contender::Kind::BenchRelay, "two_thread_json", self_directory() + "/two_thread_relay", true});
  contenders.push_back({Contender::Kind::Direct, "direct", ""});

  const std::vector<std::string> small = read_lines(corpus + "/mcp_small.jsonl");
  const std::vector<ReplyWorkload> replies = make_reply_workloads();
  std::vector<BulkWorkload> bulk;
  if (!small_only && !replies_only) {
    for (const char* name : {"large", "twitter", "citm_catalog", "canada"}) {
      const std::vector<std::string> lines = read_lines(corpus + "/" + name + ".jsonl");
      BulkWorkload corpus_lines{name, {}};
      while (corpus_lines.bytes < kCorpusBytesPerProcess) {
        for (const std::string& line : lines) {
          corpus_lines.requests.push_back(line);
          corpus_lines.bytes += static_cast<double>(line.size());
        }
      }
      bulk.push_back(std::move(corpus_lines));
    }
  }
  if (!small_only && !corpora_only) {
    for (const ReplyWorkload& reply : replies) {
      const std::size_t count = std::max<std::size_t>(2, (reply_megabytes << 20) / reply.reply.size());
      bulk.push_back({"reply " + reply.name, std::vector<std::string>(count, reply.request),
                      static_cast<double>(count * reply.reply.size())});
    }
  }
  const Workloads workloads{small, replies_only || corpora_only ? 0 : requests, gap, bulk};
  constexpr const char* kIdle = "idle";
  constexpr const char* kBusy = "one core busy";
  const std::vector<std::string> conditions = idle_only   ? std::vector<std::string>{kIdle}
                                              : busy_only ? std::vector<std::string>{kBusy}
                                                          : std::vector<std::string>{kIdle, kBusy};

  const std::string load_before = load_average();
  Application application(replies);
  // figures[condition][contender][round]
  std::vector<std::vector<std::vector<Figures>>> figures(
      conditions.size(), std::vector<std::vector<Figures>>(contenders.size()));
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < conditions.size(); ++k) {
      const std::size_t condition = (k + static_cast<std::size_t>(round)) % conditions.size();
      std::optional<BusyCore> busy;
      if (conditions[condition] == kBusy) busy.emplace();
      for (std::size_t j = 0; j < contenders.size(); ++j) {
        const std::size_t c = (j + static_cast<std::size_t>(round)) % contenders.size();
        figures[condition][c].push_back(measure(contenders[c], application.port(), workloads));
      }
    }
  }

  std::printf("%d rounds, contenders and conditions interleaved; %zu small requests per process, %lld us apart\n",
              rounds, requests, static_cast<long long>(gap.count()));
  std::printf("load average before: %s; after: %s\n", load_before.c_str(), load_average().c_str());
  std::printf("figures: medians over rounds; ratios: medians of the per-round ratios\n");
  const auto over_rounds = [](const std::vector<Figures>& per_round, const std::string& key) {
    std::vector<double> values;
    for (const Figures& f : per_round) values.push_back(f.at(key));
    return median(values);
  };
  // Times the baseline's figure: for throughput, a rate, higher is better.
  const auto ratio = [](const std::vector<Figures>& a, const std::vector<Figures>& b, const std::string& key) {
    std::vector<double> values;
    for (std::size_t r = 0; r < a.size(); ++r) values.push_back(a[r].at(key) / b[r].at(key));
    return median(values);
  };
  std::vector<std::size_t> baselines = {plain, two_thread, two_thread_json};
  if (socat != 0) baselines.insert(baselines.begin(), socat);
  // One table: a heading, a row per contender, and each bridge's ratios to
  // each baseline; `prefix` names the workload in the keys.
  const auto print_table = [&](const std::vector<std::vector<Figures>>& in_condition, const std::string& prefix,
                               std::span<const Column> columns) {
    std::printf("%-16s", "relay");
    for (const Column& column : columns) std::printf(" %12s", column.heading);
    std::printf("\n");
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      std::printf("%-16s", contenders[c].name.c_str());
      for (const Column& column : columns) std::printf(" %12.1f", over_rounds(in_condition[c], prefix + column.key));
      std::printf("\n");
    }
    const auto print_ratios = [&](std::size_t b, std::size_t baseline) {
      std::printf("%s / %s:", contenders[b].name.c_str(), contenders[baseline].name.c_str());
      for (const Column& column : columns) {
        if (!column.as_ratio) continue;
        std::printf(" %s %.2fx", column.key, ratio(in_condition[b], in_condition[baseline], prefix + column.key));
      }
      std::printf("\n");
    };
    for (std::size_t b = 0; b < bridges; ++b) {
      // A later bridge is also set against the first: a build after a change
      // against the build before it.
      if (b > 0) print_ratios(b, 0);
      for (const std::size_t baseline : baselines) print_ratios(b, baseline);
    }
  };
  for (std::size_t condition = 0; condition < conditions.size(); ++condition) {
    std::printf("\n%s\n", conditions[condition].c_str());
    if (!replies_only && !corpora_only) print_table(figures[condition], "", kColumns);
    for (const BulkWorkload& workload : bulk) {
      std::printf("\n%s, %s: %zu lines, %.1f MB per process\n", conditions[condition].c_str(), workload.name.c_str(),
                  workload.requests.size(), workload.bytes / 1e6);
      print_table(figures[condition], workload.name + " ", kBulkColumns);
    }
  }
  return 0;
}
