// Starts the real executable with pipes on its standard streams, for
// end-to-end tests. Every wait is bounded; a child still running at the end
// of a test is killed (it is ours, we know its id).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trellune::testing {

using namespace std::chrono_literals;

struct ChildOptions {
  std::vector<std::string> args;  // argv[1..]
  // The child's whole environment (nothing is inherited).
  std::vector<std::pair<std::string, std::string>> env;
  bool close_stdin = false;   // start with descriptor 0 closed
  std::string stdin_path;     // when set, descriptor 0 is this file instead of a pipe
  bool close_stdout = false;  // start with descriptor 1 closed
  bool close_stderr = false;  // start with descriptor 2 closed
  // O_NONBLOCK on the open file descriptions of the standard-input and
  // standard-output pipes, which the child shares with its parent.
  bool nonblocking_pipes = false;
  // Standard error is a non-blocking pipe that other writers have filled;
  // what they wrote is read back at the front of stderr_text().
  bool full_nonblocking_stderr = false;
  // A copy of standard error left open at this number, as a careless client
  // leaves its own descriptors to the programs it starts.
  std::optional<int> leaked_descriptor;
  // Runs the child under this uid (and the same gid, no supplementary
  // groups); needs root.
  std::optional<uid_t> run_as;
};

struct ExitStatus {
  bool exited = false;  // false: killed by a signal
  int code = -1;        // exit code, or the signal number
  bool operator==(const ExitStatus&) const = default;
};

ExitStatus exited_with(int code);
ExitStatus killed_by(int signal);
// How gtest prints a status in a failed check: "exited 1", "killed by
// signal 6".
void PrintTo(const ExitStatus& status, std::ostream* out);

class Child {
 public:
  // `command` is the program's path and its first arguments; options.args
  // follow them.
  static Child spawn(std::vector<std::string> command, const ChildOptions& options);
  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  ~Child();

  // Writes all bytes to the child's standard input (blocking). Returns false
  // when the pipe is broken.
  bool write_stdin(std::string_view bytes);
  void close_stdin();
  // Bytes the child left unread in its standard-input pipe.
  std::string unread_stdin();

  // Reads standard output until `count` bytes arrived, end of file, or the
  // deadline. Returns what arrived.
  std::string read_stdout(std::size_t count, std::chrono::milliseconds timeout = 10s);
  // Reads one line (through "\n") from standard output, or what arrived by
  // the deadline.
  std::string read_stdout_line(std::chrono::milliseconds timeout = 10s);
  void close_stdout();

  // Waits for the exit and collects the rest of standard output and error.
  // On timeout the child is killed and the status says so.
  ExitStatus wait(std::chrono::milliseconds timeout = 10s);
  const std::string& stdout_text() const { return stdout_; }
  const std::string& stderr_text() const { return stderr_; }
  pid_t pid() const { return pid_; }

 private:
  Child() = default;
  void drain(bool until_eof, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdin_reader_fd_ = -1;  // our copy of the child's read end, to see unread bytes
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::size_t stdout_consumed_ = 0;
  std::string stdout_;
  std::string stderr_;
  std::optional<ExitStatus> status_;
};

// One field of /proc/PID/status ("Seccomp", "NoNewPrivs"), its value without
// the surrounding white space; empty when the process or the field is gone.
std::string process_status_field(pid_t pid, std::string_view field);

// The words that start the executable under test: its path, which the build
// sets, behind the emulator's command line in a cross build. The environment
// variable TRELLUNE_TEST_EXECUTABLE, when set, names another path: a test
// binary copied where the build directory is not (a kernel's initrd).
std::vector<std::string> bridge_command();

}  // namespace trellune::testing
