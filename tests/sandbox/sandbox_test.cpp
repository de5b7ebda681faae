// Calls made after confine_process(), in a forked child: each one the filter
// must refuse fails with EPERM, each one the bridge needs still works. The
// arguments of a refused call are chosen so that, unconfined, it would fail
// in another way (or succeed) without touching anything, so a call that
// slipped through the filter shows and changes nothing.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/fatal.hpp"
#include "support/confined_child.hpp"
#include "support/death_test_style.hpp"

namespace trellune {
namespace {

enum class Table { kOwn, kX32, kI386 };

struct CallCase {
  const char* name;
  long number;
  std::array<long, 6> args;
  bool refused;
  Table table = Table::kOwn;
};

struct CallResult {
  long value;
  int error;
};

long address(const void* p) { return static_cast<long>(reinterpret_cast<std::uintptr_t>(p)); }

// Built afresh in the child, whose own pid and thread id the cases use.
std::vector<CallCase> call_cases() {
  static const char kEmpty[] = "";
  static std::uint32_t futex_word = 0;
  const long empty = address(kEmpty);
  const long pid = ::getpid();
  const long tid = ::gettid();
  static const long descriptor = ::eventfd(0, EFD_CLOEXEC);
  const long no_such_pid = 0x3ffffff0;
  std::vector<CallCase> cases = {
      {"openat", SYS_openat, {AT_FDCWD, empty, O_RDONLY}, true},
      {"openat2", SYS_openat2, {AT_FDCWD, empty, 0, 0}, true},
      {"socket", SYS_socket, {-1, 0, 0}, true},
      {"socketpair", SYS_socketpair, {-1, 0, 0, 0}, true},
      {"connect", SYS_connect, {-1, 0, 0}, true},
      {"bind", SYS_bind, {-1, 0, 0}, true},
      {"listen", SYS_listen, {-1, 0}, true},
      {"accept4", SYS_accept4, {-1, 0, 0, 0}, true},
      {"io_uring_setup", SYS_io_uring_setup, {0, 0}, true},
      {"pidfd_getfd", SYS_pidfd_getfd, {-1, -1, 0}, true},
      {"execve", SYS_execve, {empty, 0, 0}, true},
      {"execveat", SYS_execveat, {-1, empty, 0, 0, 0}, true},
      {"ptrace", SYS_ptrace, {PTRACE_ATTACH, no_such_pid, 0, 0}, true},
      {"process_vm_readv", SYS_process_vm_readv, {no_such_pid, 0, 0, 0, 0, 0}, true},
      {"process_vm_writev", SYS_process_vm_writev, {no_such_pid, 0, 0, 0, 0, 0}, true},
      {"kill", SYS_kill, {no_such_pid, 0}, true},
      {"tgkill to another process", SYS_tgkill, {no_such_pid, no_such_pid, 0}, true},
      // The kernel reads the process id as an int: the high half must not
      // smuggle another process past the check.
      {"tgkill with a high half", SYS_tgkill, {pid | (1L << 32), tid, 0}, true},
      {"mount", SYS_mount, {0, 0, 0, 0, 0}, true},
      {"unshare", SYS_unshare, {-1}, true},
      {"setns", SYS_setns, {-1, 0}, true},
      {"bpf", SYS_bpf, {-1, 0, 0}, true},
      {"perf_event_open", SYS_perf_event_open, {0, 0, -1, -1, 0}, true},
      {"unlinkat", SYS_unlinkat, {AT_FDCWD, empty, 0}, true},
      {"renameat2", SYS_renameat2, {AT_FDCWD, empty, AT_FDCWD, empty, 0}, true},
      {"truncate", SYS_truncate, {empty, 0}, true},
      {"fchmodat2, numbered by hand", 452, {AT_FDCWD, empty, 0, 0}, true},
      {"keyctl", SYS_keyctl, {-1, 0, 0, 0, 0}, true},
      // What the bridge goes on doing.
      {"ioctl TIOCSTI", SYS_ioctl, {-1, TIOCSTI, 0}, true},
      {"ioctl TIOCLINUX", SYS_ioctl, {-1, TIOCLINUX, 0}, true},
      {"ioctl FIOCLEX", SYS_ioctl, {descriptor, FIOCLEX, 0}, false},
      {"getpid", SYS_getpid, {}, false},
      {"tgkill, signal 0 to its own thread", SYS_tgkill, {pid, tid, 0}, false},
      {"eventfd2", SYS_eventfd2, {0, 0}, false},
      {"epoll_create1", SYS_epoll_create1, {0}, false},
      {"mmap", SYS_mmap, {0, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0}, false},
      {"futex wake", SYS_futex, {address(&futex_word), FUTEX_WAKE_PRIVATE, 1}, false},
      {"sched_yield", SYS_sched_yield, {}, false},
  };
#ifdef SYS_open
  cases.push_back({"open", SYS_open, {empty, O_RDONLY}, true});
  cases.push_back({"creat", SYS_creat, {empty, 0}, true});
#endif
#if defined(__x86_64__)
  cases.push_back({"x32 getpid", SYS_getpid | __X32_SYSCALL_BIT, {}, true, Table::kX32});
  cases.push_back({"i386 getpid", 20, {}, true, Table::kI386});
#endif
  return cases;
}

CallResult make_call(const CallCase& c) {
#if defined(__x86_64__)
  if (c.table == Table::kI386) {
    long value = c.number;
    // The 32-bit entry: the kernel tags the call with the i386 architecture.
    asm volatile("int $0x80" : "+a"(value) : : "memory", "r8", "r9", "r10", "r11");
    if (value < 0 && value > -4096) return {-1, static_cast<int>(-value)};
    return {value, 0};
  }
#endif
  errno = 0;
  const long value = ::syscall(c.number, c.args[0], c.args[1], c.args[2], c.args[3], c.args[4], c.args[5]);
  return {value, value == -1 ? errno : 0};
}

void* do_nothing(void*) { return nullptr; }

// A thread start takes clone or clone3, memory for the stack, and a futex
// wait at the join: all of the calls of a worker's start and end.
CallResult start_and_join_a_thread() {
  pthread_t thread;
  const int started = ::pthread_create(&thread, nullptr, do_nothing, nullptr);
  if (started != 0) return {-1, started};
  return {::pthread_join(thread, nullptr) == 0 ? 0 : -1, 0};
}

TEST(ConfineProcessTest, RefusesWhatTheRelayDoesNotNeedAndNothingElse) {
  const testing::ConfinedRun run = testing::run_confined_in_child([] {
    std::vector<CallResult> results;
    for (const CallCase& c : call_cases()) results.push_back(make_call(c));
    results.push_back(start_and_join_a_thread());
    return std::string(reinterpret_cast<const char*>(results.data()), results.size() * sizeof(CallResult));
  });
  if (run.outcome.state != Confinement::kConfined) GTEST_SKIP() << testing::why_unconfined(run.outcome);

  const std::vector<CallCase> cases = call_cases();
  ASSERT_EQ(run.output.size(), (cases.size() + 1) * sizeof(CallResult));
  std::vector<CallResult> results(cases.size() + 1);
  std::memcpy(results.data(), run.output.data(), run.output.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    if (cases[i].refused) {
      EXPECT_EQ(results[i].value, -1);
      EXPECT_EQ(results[i].error, EPERM) << std::strerror(results[i].error);
    } else {
      EXPECT_NE(results[i].value, -1) << std::strerror(results[i].error);
    }
  }
  EXPECT_EQ(results.back().value, 0) << "a thread start: " << std::strerror(results.back().error);
}

// A fatal error after confinement still ends the bridge as it always did:
// the report on standard error, then death by SIGABRT, which abort() raises
// with tgkill on the process's own thread.
TEST(ConfineProcessTest, FatalErrorStillAbortsWithItsReport) {
  const testing::ConfinedRun probe = testing::run_confined_in_child([] { return std::string(); });
  if (probe.outcome.state != Confinement::kConfined) GTEST_SKIP() << testing::why_unconfined(probe.outcome);
  use_fresh_process_death_tests();
  EXPECT_EXIT(
      {
        if (confine_process().state != Confinement::kConfined) std::_Exit(3);
        TRELLUNE_FATAL("broken after confinement");
      },
      ::testing::KilledBySignal(SIGABRT), "broken after confinement");
}

// A thread under a filter of its own can't join the new one. The kernel then
// confines no thread at all, the caller included: the outcome says so and
// the bridge relays unconfined, rather than with one thread left open.
TEST(ConfineProcessTest, AThreadThatCannotJoinLeavesEveryThreadUnconfined) {
  const testing::ConfinedRun probe = testing::run_confined_in_child([] { return std::string(); });
  if (probe.outcome.state != Confinement::kConfined) GTEST_SKIP() << testing::why_unconfined(probe.outcome);
  const pid_t child = ::fork();
  if (child == 0) {
    std::atomic<int> stage{0};
    std::thread filtered([&stage] {
      sock_filter allow_all{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW};
      const sock_fprog program{1, &allow_all};
      if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
          ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
        ::_exit(4);
      }
      stage = 1;
      while (stage != 2) ::sched_yield();
    });
    while (stage != 1) ::sched_yield();
    const ConfineOutcome outcome = confine_process();
    const int root = ::openat(AT_FDCWD, "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    stage = 2;
    filtered.join();
    ::_exit(outcome.state != Confinement::kThreadNotSynchronized ? 1 : root < 0 ? 2 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: another outcome, 2: the caller was confined, 4: no filter for the thread";
}

}  // namespace
}  // namespace trellune
