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
#include <string>

#include "sandbox/sandbox.hpp"

namespace trellune::testing {

struct ConfinedRun {
  ConfineOutcome outcome;
  std::string output;  // what the body returned; empty unless confined
};

// The child runs `body` only when it was confined, and sends back the outcome
// and what the body returned through a pipe. `before`, when given, runs
// first and must return true, or the child ends unconfined.
template <typename Body, typename Before>
ConfinedRun run_confined_in_child(Body body, Before before) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (!before()) ::_exit(1);
    const ConfineOutcome outcome = confine_process();
    std::string message(reinterpret_cast<const char*>(&outcome), sizeof outcome);
    if (outcome.state == Confinement::kConfined) message += body();
    for (std::size_t sent = 0; sent < message.size();) {
      const ssize_t n = ::write(pipe_fds[1], message.data() + sent, message.size() - sent);
      if (n <= 0) ::_exit(1);
      sent += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string message;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    message.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ConfinedRun run;
  if (message.size() < sizeof run.outcome) {
    run.outcome.error = EPIPE;  // the child died before it could tell
    return run;
  }
  std::memcpy(&run.outcome, message.data(), sizeof run.outcome);
  run.output = message.substr(sizeof run.outcome);
  return run;
}

extern "C" void __lsan_do_leak_check() __attribute__((weak));

template <typename Body>
ConfinedRun run_confined_in_child(Body body) {
  return run_confined_in_child(body, [] { return true; });
}

// Why no process can be confined here, or nothing when one can: LeakSanitizer
// is in the build, or the kernel takes no filter at all, which a filter that
// allows everything, installed in a forked child, tells. Asked apart from
// confine_process, so that a fault of that function fails the tests that use
// it instead of turning them into skips.
inline std::optional<std::string> why_filters_are_unavailable() {
  if (&__lsan_do_leak_check != nullptr) return "LeakSanitizer's exit check needs calls that the filter refuses";
  const pid_t child = ::fork();
  if (child == 0) {
    sock_filter allow_all{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW};
    const sock_fprog program{1, &allow_all};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) ::_exit(1);
    ::_exit(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0 ? 0 : 1);
  }
  int status = 0;
  while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::nullopt;
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
