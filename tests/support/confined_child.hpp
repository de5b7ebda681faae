// Runs a piece of a test in a forked child after confine_process(), so that
// the test process itself stays unconfined. Tests that include it link
// trellune_sandbox.
#pragma once

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/sanitizers.hpp"
#include "sandbox/sandbox.hpp"

namespace trellune::testing {

// In a child: sends all of `bytes` to `fd`, or ends the child.
inline void send_or_exit(int fd, std::string_view bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) ::_exit(1);
    sent += static_cast<std::size_t>(n);
  }
}

// Forks a child that runs `child(fd)`, sending what it has to tell to `fd`
// as it goes, and then exits. Returns all it sent, whole even where the child
// died part way.
template <typename Child>
std::string output_of_child(Child child) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    child(pipe_fds[1]);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return output;
}

// Installs `program` on the calling thread, with no new privileges first as
// the kernel wants of an unprivileged process.
inline bool install_filter(std::span<const sock_filter> program, unsigned flags = 0) {
  const sock_fprog filter{static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &filter) == 0;
}

inline constexpr sock_filter kAllowEverything[] = {{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW}};

struct ConfinedRun {
  ConfineOutcome outcome;
  std::string output;  // what the body returned; empty unless confined
};

// Makes `fd` the child's standard output, the one descriptor a confined
// process writes to besides its own, and returns it.
inline int report_on_standard_output(int fd) {
  if (::dup2(fd, STDOUT_FILENO) != STDOUT_FILENO) ::_exit(1);
  return STDOUT_FILENO;
}

// The child makes its descriptors with `kept()`, runs `body` only when it was
// confined with them, and sends back the outcome and what the body returned.
template <typename Kept, typename Body>
ConfinedRun run_confined_in_child(Kept kept, Body body) {
  const std::string message = output_of_child([&kept, &body](int fd) {
    const int report = report_on_standard_output(fd);
    const ConfineOutcome outcome = confine_process(kept());
    send_or_exit(report, {reinterpret_cast<const char*>(&outcome), sizeof outcome});
    if (outcome.state == Confinement::kConfined) send_or_exit(report, body());
  });
  ConfinedRun run;
  if (message.size() < sizeof run.outcome) {
    run.outcome.error = EPIPE;  // the child died before it could tell
    return run;
  }
  std::memcpy(&run.outcome, message.data(), sizeof run.outcome);
  run.output = message.substr(sizeof run.outcome);
  return run;
}

// Why no process can be confined here, or nothing when one can: LeakSanitizer
// is in the build, or the kernel takes no filter at all, which a filter that
// allows everything, installed in a forked child, tells. Asked apart from
// confine_process, so that a fault of that function fails the tests that use
// it instead of turning them into skips.
inline std::optional<std::string> why_filters_are_unavailable() {
  if (TRELLUNE_LEAK_SANITIZER) return "LeakSanitizer's exit check needs calls that the filter refuses";
  const std::string installed =
      output_of_child([](int fd) { send_or_exit(fd, install_filter(kAllowEverything) ? "1" : "0"); });
  if (installed == "1") return std::nullopt;
  return "no seccomp filter here (qemu-user, or a kernel without them)";
}

// Why a run was not confined, for a failed test.
inline std::string why_unconfined(const ConfineOutcome& outcome) {
  switch (outcome.state) {
    case Confinement::kConfined: return "confined";
    case Confinement::kUnavailable:
      return std::string("no seccomp filter here (qemu-user, or a kernel without them): ") + std::strerror(outcome.error);
    case Confinement::kThreadNotSynchronized: return "a thread runs under a filter of its own";
    case Confinement::kLeftToLeakChecker: return "LeakSanitizer's exit check needs calls that the filter refuses";
  }
  return "unknown outcome";
}

}  // namespace trellune::testing
