#include "support/child_process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace trellune::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Writing to the stdin pipe of a child that has exited must fail, not kill
// the test.
const bool kSigpipeIgnored = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

void close_fd(int& fd) {
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void make_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::abort();
  }
}

// Reads what is available on `fd` into `out`; closes it at end of file.
void read_available(int& fd, std::string& out) {
  char buffer[65536];
  while (fd >= 0) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    close_fd(fd);
  }
}

}  // namespace

ExitStatus exited_with(int code) { return ExitStatus{true, code}; }
ExitStatus killed_by(int signal) { return ExitStatus{false, signal}; }

void PrintTo(const ExitStatus& status, std::ostream* out) {
  *out << (status.exited ? "exited " : "killed by signal ") << status.code;
}

std::string process_status_field(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 && line[field.size()] == ':') {
      const std::size_t start = line.find_first_not_of(" \t", field.size() + 1);
      return start == std::string::npos ? std::string() : line.substr(start);
    }
  }
  return {};
}

std::vector<std::string> bridge_command() {
  std::vector<std::string> words;
#ifdef TRELLUNE_TEST_EMULATOR
  std::istringstream emulator(TRELLUNE_TEST_EMULATOR);
  for (std::string word; emulator >> word;) words.push_back(word);
#endif
  const char* elsewhere = std::getenv("TRELLUNE_TEST_EXECUTABLE");
  words.emplace_back(elsewhere != nullptr && *elsewhere != '\0' ? elsewhere : TRELLUNE_MCP_EXECUTABLE);
  return words;
}

Child Child::spawn(std::vector<std::string> command, const ChildOptions& options) {
  (void)kSigpipeIgnored;
  int in[2];
  int out[2];
  int err[2];
  make_pipe(in);
  make_pipe(out);
  make_pipe(err);
  if (options.nonblocking_pipes) {
    ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    ::fcntl(out[1], F_SETFL, O_NONBLOCK);
  }
  if (options.full_nonblocking_stderr) {
    ::fcntl(err[1], F_SETFL, O_NONBLOCK);
    const char filler[4096] = {};
    while (::write(err[1], filler, sizeof filler) > 0) continue;
  }

  std::vector<std::string> argv_text = std::move(command);
  argv_text.insert(argv_text.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [name, value] : options.env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int stdin_file = options.stdin_path.empty() ? -1 : ::open(options.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    std::abort();
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to execve.
    struct sigaction default_action{};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(stdin_file >= 0 ? stdin_file : in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (options.close_stdin) ::close(0);
    if (options.close_stdout) ::close(1);
    if (options.close_stderr) ::close(2);
    // Descriptors the test runner left open would take numbers the child's
    // own descriptors are expected to get.
    ::close_range(3, ~0U, 0);
    if (options.leaked_descriptor) ::dup2(2, *options.leaked_descriptor);
    if (options.run_as) {
      const uid_t id = *options.run_as;
      if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0 || ::setresuid(id, id, id) != 0) ::_exit(126);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }

  if (stdin_file >= 0) ::close(stdin_file);
  Child child;
  child.pid_ = pid;
  child.stdin_fd_ = in[1];
  child.stdin_reader_fd_ = in[0];
  child.stdout_fd_ = out[0];
  child.stderr_fd_ = err[0];
  ::close(out[1]);
  ::close(err[1]);
  ::fcntl(child.stdout_fd_, F_SETFL, O_NONBLOCK);
  ::fcntl(child.stderr_fd_, F_SETFL, O_NONBLOCK);
  return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_fd_(std::exchange(other.stdin_fd_, -1)),
      stdin_reader_fd_(std::exchange(other.stdin_reader_fd_, -1)),
      stdout_fd_(std::exchange(other.stdout_fd_, -1)),
      stderr_fd_(std::exchange(other.stderr_fd_, -1)),
      stdout_consumed_(other.stdout_consumed_),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)),
      status_(other.status_) {}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
  }
  close_fd(stdin_fd_);
  close_fd(stdin_reader_fd_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
}

bool Child::write_stdin(std::string_view bytes) {
  while (!bytes.empty()) {
    if (stdin_fd_ < 0) return false;
    const ssize_t n = ::write(stdin_fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The spare read end kept for unread_stdin() does not hold the pipe open for
// writing, so the child still sees the end of its input.
void Child::close_stdin() { close_fd(stdin_fd_); }

std::string Child::unread_stdin() {
  std::string unread;
  if (stdin_reader_fd_ < 0) return unread;
  ::fcntl(stdin_reader_fd_, F_SETFL, O_NONBLOCK);
  int fd = stdin_reader_fd_;
  read_available(fd, unread);
  if (fd < 0) stdin_reader_fd_ = -1;
  return unread;
}

void Child::drain(bool until_eof, Clock::time_point deadline) {
  for (;;) {
    read_available(stdout_fd_, stdout_);
    read_available(stderr_fd_, stderr_);
    if (!until_eof || (stdout_fd_ < 0 && stderr_fd_ < 0)) return;
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    const int left = remaining_ms(deadline);
    if (left == 0) return;
    ::poll(fds, 2, left);
  }
}

std::string Child::read_stdout(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (stdout_.size() - stdout_consumed_ < count && stdout_fd_ >= 0) {
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    const int left = remaining_ms(deadline);
    if (left == 0) break;
    ::poll(fds, 2, left);
    drain(false, deadline);
  }
  const std::size_t take = std::min(count, stdout_.size() - stdout_consumed_);
  std::string result = stdout_.substr(stdout_consumed_, take);
  stdout_consumed_ += take;
  return result;
}

std::string Child::read_stdout_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::size_t newline = stdout_.find('\n', stdout_consumed_);
    if (newline != std::string::npos) {
      std::string line = stdout_.substr(stdout_consumed_, newline + 1 - stdout_consumed_);
      stdout_consumed_ = newline + 1;
      return line;
    }
    const int left = remaining_ms(deadline);
    if (stdout_fd_ < 0 || left == 0) {
      std::string rest = stdout_.substr(stdout_consumed_);
      stdout_consumed_ = stdout_.size();
      return rest;
    }
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    ::poll(fds, 2, left);
    drain(false, deadline);
  }
}

void Child::close_stdout() { close_fd(stdout_fd_); }

ExitStatus Child::wait(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    drain(false, deadline);
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? exited_with(WEXITSTATUS(raw)) : killed_by(WTERMSIG(raw));
      break;
    }
    if (remaining_ms(deadline) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &raw, 0);
      status_ = killed_by(SIGKILL);
      break;
    }
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    ::poll(fds, 2, 5);
  }
  // The child is gone; collect what it left in the pipes.
  drain(true, Clock::now() + 2s);
  return *status_;
}

}  // namespace trellune::testing
