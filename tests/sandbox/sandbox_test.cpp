// Calls made after confine_process(), in a forked child: each one the filter
// must refuse fails with EPERM, each one the bridge needs still works. The
// arguments of a refused call are chosen so that, unconfined, it would fail
// in another way (or succeed) without touching anything, so a call that
// slipped through the filter shows and changes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/fatal.hpp"
#include "support/confined_child.hpp"
#include "support/death_test_style.hpp"

namespace trellune {
namespace {

enum class Table { kOwn, kX32, kI386 };

// What a call must come to: success, or failure with this errno.
constexpr int kPasses = 0;

struct CallCase {
  const char* name;
  long number;
  std::array<long, 6> args;
  int error;
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
  static const char kName[] = "trellune-test";
  static std::uint32_t futex_word = 0;
  const long empty = address(kEmpty);
  const long pid = ::getpid();
  const long tid = ::gettid();
  static const long descriptor = ::eventfd(0, EFD_CLOEXEC);
  const long no_such_pid = 0x3ffffff0;
  const long no_such_key = 0x7ffffff0;
  std::vector<CallCase> cases = {
      // Reaching anything new: files, sockets, programs, other processes.
      {"openat", SYS_openat, {AT_FDCWD, empty, O_RDONLY}, EPERM},
      {"openat2", SYS_openat2, {AT_FDCWD, empty, 0, 0}, EPERM},
      {"socket", SYS_socket, {-1, 0, 0}, EPERM},
      {"socketpair", SYS_socketpair, {-1, 0, 0, 0}, EPERM},
      {"connect", SYS_connect, {-1, 0, 0}, EPERM},
      {"bind", SYS_bind, {-1, 0, 0}, EPERM},
      {"listen", SYS_listen, {-1, 0}, EPERM},
      {"accept4", SYS_accept4, {-1, 0, 0, 0}, EPERM},
      {"io_uring_setup", SYS_io_uring_setup, {0, 0}, EPERM},
      {"pidfd_getfd", SYS_pidfd_getfd, {-1, -1, 0}, EPERM},
      {"execve", SYS_execve, {empty, 0, 0}, EPERM},
      {"execveat", SYS_execveat, {-1, empty, 0, 0, 0}, EPERM},
      {"ptrace", SYS_ptrace, {PTRACE_ATTACH, no_such_pid, 0, 0}, EPERM},
      {"process_vm_readv", SYS_process_vm_readv, {no_such_pid, 0, 0, 0, 0, 0}, EPERM},
      {"process_vm_writev", SYS_process_vm_writev, {no_such_pid, 0, 0, 0, 0, 0}, EPERM},
      {"kill", SYS_kill, {no_such_pid, 0}, EPERM},
      {"tgkill to another process", SYS_tgkill, {no_such_pid, no_such_pid, 0}, EPERM},
      // The kernel reads the process id as an int: the high half must not
      // smuggle another process past the check.
      {"tgkill with a high half", SYS_tgkill, {pid | (1L << 32), tid, 0}, EPERM},
      // Namespaces and new processes: only a thread's flags pass (the sets
      // here are invalid too, so unconfined they make nothing).
      {"clone into new namespaces", SYS_clone, {CLONE_NEWUSER | CLONE_NEWNET | CLONE_FS, 0, 0, 0, 0}, EPERM},
      {"clone as fork", SYS_clone, {SIGCHLD | CLONE_SIGHAND, 0, 0, 0, 0}, EPERM},
      {"clone with CLONE_PARENT", SYS_clone, {CLONE_PARENT | CLONE_SIGHAND, 0, 0, 0, 0}, EPERM},
      // Said not to exist, so that glibc falls back to clone.
      {"clone3", SYS_clone3, {0, 0}, ENOSYS},
      {"unshare", SYS_unshare, {-1}, EPERM},
      {"setns", SYS_setns, {-1, 0}, EPERM},
      {"mount", SYS_mount, {0, 0, 0, 0, 0}, EPERM},
      // Harming the user's other processes.
      {"fcntl F_SETOWN", SYS_fcntl, {descriptor, F_SETOWN, no_such_pid}, EPERM},
      {"prlimit64 of another process", SYS_prlimit64, {no_such_pid, RLIMIT_NOFILE, 0, 0}, EPERM},
      {"setpriority of another process", SYS_setpriority, {PRIO_PROCESS, no_such_pid, 0}, EPERM},
      {"sched_setaffinity of another process", SYS_sched_setaffinity, {no_such_pid, 0, 0}, EPERM},
      {"shmget", SYS_shmget, {no_such_key, 1, 0}, EPERM},
      {"msgget", SYS_msgget, {no_such_key, 0}, EPERM},
      {"semget", SYS_semget, {no_such_key, 1, 0}, EPERM},
      {"mq_open", SYS_mq_open, {empty, O_RDONLY, 0, 0}, EPERM},
      // Watching and reading the file system by name.
      {"inotify_init1", SYS_inotify_init1, {-1}, EPERM},
      {"fanotify_init", SYS_fanotify_init, {-1, 0}, EPERM},
      {"newfstatat by path", SYS_newfstatat, {AT_FDCWD, empty, 0, 0}, EPERM},
      {"getxattr", SYS_getxattr, {empty, empty, 0, 0}, EPERM},
      {"readlinkat", SYS_readlinkat, {AT_FDCWD, empty, 0, 0}, EPERM},
      // Changing files, by name or held.
      {"unlinkat", SYS_unlinkat, {AT_FDCWD, empty, 0}, EPERM},
      {"renameat2", SYS_renameat2, {AT_FDCWD, empty, AT_FDCWD, empty, 0}, EPERM},
      {"truncate", SYS_truncate, {empty, 0}, EPERM},
      {"fchmodat2, numbered by hand", 452, {AT_FDCWD, empty, 0, 0}, EPERM},
      {"fchmod of a held descriptor", SYS_fchmod, {-1, 0}, EPERM},
      {"ftruncate of a held descriptor", SYS_ftruncate, {-1, 0}, EPERM},
      {"fchown of a held descriptor", SYS_fchown, {-1, 0, 0}, EPERM},
      {"fsetxattr of a held descriptor", SYS_fsetxattr, {-1, empty, 0, 0, 0}, EPERM},
      {"bpf", SYS_bpf, {-1, 0, 0}, EPERM},
      {"perf_event_open", SYS_perf_event_open, {0, 0, -1, -1, 0}, EPERM},
      {"keyctl", SYS_keyctl, {-1, 0, 0, 0, 0}, EPERM},
      // Running code of its own making.
      {"memfd_create", SYS_memfd_create, {empty, -1}, EPERM},
      {"mmap PROT_EXEC", SYS_mmap, {0, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0}, EPERM},
      {"mprotect PROT_EXEC", SYS_mprotect, {0, 0, PROT_READ | PROT_EXEC}, EPERM},
      // A terminal on the standard streams: typing into it, or its settings.
      {"ioctl TIOCSTI", SYS_ioctl, {-1, TIOCSTI, 0}, EPERM},
      {"ioctl TIOCLINUX", SYS_ioctl, {-1, TIOCLINUX, 0}, EPERM},
      {"ioctl TCSETS", SYS_ioctl, {-1, TCSETS, 0}, EPERM},
      {"ioctl FIOCLEX", SYS_ioctl, {descriptor, FIOCLEX, 0}, EPERM},
      {"epoll_create1", SYS_epoll_create1, {0}, EPERM},
      // Requests the bridge makes not, of calls it does make.
      {"prctl PR_GET_DUMPABLE", SYS_prctl, {PR_GET_DUMPABLE, 0, 0, 0, 0}, EPERM},
      {"madvise MADV_DONTFORK", SYS_madvise, {0, 0, MADV_DONTFORK}, EPERM},
      {"getsockopt SO_PEERCRED", SYS_getsockopt, {descriptor, SOL_SOCKET, SO_PEERCRED, 0, 0}, EPERM},
      {"getsockopt SO_ERROR's number at another level", SYS_getsockopt, {descriptor, IPPROTO_TCP, SO_ERROR, 0, 0},
       EPERM},
      // What the bridge goes on doing.
      {"getpid", SYS_getpid, {}, kPasses},
      {"tgkill, signal 0 to its own thread", SYS_tgkill, {pid, tid, 0}, kPasses},
      {"eventfd2", SYS_eventfd2, {0, 0}, kPasses},
      {"mmap", SYS_mmap, {0, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0}, kPasses},
      {"mprotect", SYS_mprotect, {0, 0, PROT_READ}, kPasses},
      {"futex wake", SYS_futex, {address(&futex_word), FUTEX_WAKE_PRIVATE, 1}, kPasses},
      {"sched_yield", SYS_sched_yield, {}, kPasses},
      {"prctl PR_SET_NAME", SYS_prctl, {PR_SET_NAME, address(kName), 0, 0, 0}, kPasses},
      {"madvise MADV_DONTNEED", SYS_madvise, {0, 0, MADV_DONTNEED}, kPasses},
      // Reaches the kernel, which finds no socket.
      {"getsockopt SO_ERROR", SYS_getsockopt, {descriptor, SOL_SOCKET, SO_ERROR, 0, 0}, ENOTSOCK},
  };
#ifdef SYS_open
  cases.push_back({"open", SYS_open, {empty, O_RDONLY}, EPERM});
  cases.push_back({"creat", SYS_creat, {empty, 0}, EPERM});
  cases.push_back({"fork", SYS_fork, {}, EPERM});
  cases.push_back({"stat by path", SYS_stat, {empty, 0}, EPERM});
#endif
#if defined(__x86_64__)
  cases.push_back({"x32 getpid", SYS_getpid | __X32_SYSCALL_BIT, {}, EPERM, Table::kX32});
  cases.push_back({"i386 getpid", 20, {}, EPERM, Table::kI386});
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
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  const testing::ConfinedRun run = testing::run_confined_in_child([] {
    std::vector<CallResult> results;
    for (const CallCase& c : call_cases()) results.push_back(make_call(c));
    results.push_back(start_and_join_a_thread());
    return std::string(reinterpret_cast<const char*>(results.data()), results.size() * sizeof(CallResult));
  });
  ASSERT_EQ(run.outcome.state, Confinement::kConfined) << testing::why_unconfined(run.outcome);

  const std::vector<CallCase> cases = call_cases();
  ASSERT_EQ(run.output.size(), (cases.size() + 1) * sizeof(CallResult));
  std::vector<CallResult> results(cases.size() + 1);
  std::memcpy(results.data(), run.output.data(), run.output.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    if (cases[i].error == kPasses) {
      EXPECT_NE(results[i].value, -1) << std::strerror(results[i].error);
    } else {
      EXPECT_EQ(results[i].value, -1);
      EXPECT_EQ(results[i].error, cases[i].error) << std::strerror(results[i].error);
    }
  }
  EXPECT_EQ(results.back().value, 0) << "a thread start: " << std::strerror(results.back().error);
}

// Every call number, asked with arguments that carry a marker. A filter
// installed first answers every marked call with ESRCH, so nothing asked here
// runs, whatever the filter under test decides; that filter, installed
// later, is heard first: its EPERM or ENOSYS comes through, and where it
// allows, the first filter's ESRCH does. So the kernel itself lists what the
// filter lets through.
constexpr long kMarker = 0x7472656c;
constexpr long kHighestNumber = 1023;
// A number whose call ended the asking process.
constexpr int kEndedTheProcess = -1;

// The first argument as well as the last: a call that follows a marked one
// may leave the last argument's register as that one left it.
constexpr sock_filter kMarkedCallsFail[] = {
    {BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<std::uint32_t>(offsetof(seccomp_data, args[0]))},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, static_cast<std::uint32_t>(kMarker)},
    {BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<std::uint32_t>(offsetof(seccomp_data, args[5]))},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, static_cast<std::uint32_t>(kMarker)},
    {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | ESRCH},
    {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
};

// The errno of every marked call numbered `table_bit` | 0..kHighestNumber,
// asked in children, confined or under the first filter alone, each answer
// sent at once: where a call ends its child, the next child goes on after it.
// Empty when a child could not be confined.
std::vector<int> ask_every_call(long table_bit, bool confined) {
  std::vector<int> errors;
  while (errors.size() <= kHighestNumber) {
    const long first = static_cast<long>(errors.size());
    const std::string answers = testing::output_of_child([&](int fd) {
      const bool ready = testing::install_filter(kMarkedCallsFail) &&
                         (!confined || confine_process().state == Confinement::kConfined);
      testing::send_or_exit(fd, ready ? "1" : "0");
      if (!ready) return;
      for (long number = first; number <= kHighestNumber; ++number) {
        errno = 0;
        ::syscall(number | table_bit, kMarker, 0, 0, 0, 0, kMarker);
        const char answer = static_cast<char>(errno);
        testing::send_or_exit(fd, {&answer, 1});
      }
    });
    if (answers.empty() || answers[0] != '1') return {};
    for (const char answer : answers.substr(1)) errors.push_back(answer);
    if (errors.size() <= kHighestNumber) errors.push_back(kEndedTheProcess);
  }
  return errors;
}

// The calls that pass must be the ones the README names and no other: those
// without argument rules, and mmap and mprotect, whose rule the marked
// arguments (no PROT_EXEC) meet. x32 calls are all refused. A number that
// the first filter alone doesn't answer with ESRCH is one the kernel answers
// before any filter (a signal for a number it doesn't know, on some kernels),
// so no filter's to judge.
TEST(ConfineProcessTest, EveryCallOffTheListIsRefused) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  std::set<long> passing = {
      SYS_read, SYS_write, SYS_recvfrom, SYS_sendmsg, SYS_shutdown, SYS_close, SYS_epoll_ctl, SYS_epoll_pwait,
      SYS_ppoll, SYS_eventfd2, SYS_futex, SYS_sched_yield, SYS_restart_syscall, SYS_clock_gettime, SYS_getcpu,
      SYS_mmap, SYS_mprotect, SYS_munmap, SYS_mremap, SYS_brk, SYS_set_robust_list, SYS_rseq, SYS_exit,
      SYS_exit_group, SYS_rt_sigprocmask, SYS_rt_sigaction, SYS_rt_sigreturn, SYS_getpid, SYS_gettid,
  };
  std::vector<long> table_bits = {0};
#if defined(__x86_64__)
  passing.insert({SYS_epoll_wait, SYS_poll});
  table_bits.push_back(__X32_SYSCALL_BIT);
#endif
  for (const long table_bit : table_bits) {
    const std::vector<int> unfiltered = ask_every_call(table_bit, false);
    const std::vector<int> errors = ask_every_call(table_bit, true);
    ASSERT_EQ(unfiltered.size(), kHighestNumber + 1);
    ASSERT_EQ(errors.size(), kHighestNumber + 1) << "not confined";
    std::size_t judged = 0;
    for (long number = 0; number <= kHighestNumber; ++number) {
      SCOPED_TRACE("system call " + std::to_string(number | table_bit));
      if (unfiltered[static_cast<std::size_t>(number)] != ESRCH) continue;
      ++judged;
      int expected = passing.contains(number) ? ESRCH : EPERM;
      if (number == SYS_clone3) expected = ENOSYS;
      if (table_bit != 0) expected = EPERM;
      EXPECT_EQ(errors[static_cast<std::size_t>(number)], expected);
    }
    EXPECT_GT(judged, 900U);  // only a few numbers may lie beyond every filter
  }
}

// A fatal error after confinement still ends the bridge as it always did:
// the report on standard error, then death by SIGABRT, which abort() raises
// with tgkill on the process's own thread.
TEST(ConfineProcessTest, FatalErrorStillAbortsWithItsReport) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  use_fresh_process_death_tests();
  EXPECT_EXIT(
      {
        if (confine_process().state != Confinement::kConfined) std::_Exit(3);
        TRELLUNE_FATAL("broken after confinement");
      },
      ::testing::KilledBySignal(SIGABRT), "broken after confinement");
}

// The test builds' filter: a refused call, made by the bridge itself or not,
// ends the process with a report that names it, instead of failing quietly.
TEST(ConfineProcessTest, TrappingFilterNamesTheRefusedCallAndAborts) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  use_fresh_process_death_tests();
  struct TrapCase {
    long number;
    std::array<long, 3> args;
    std::string report;
  };
  const TrapCase cases[] = {
      {SYS_socket, {-1, 0, 0}, "system call " + std::to_string(SYS_socket) + ", which is not on its list"},
      {SYS_prctl, {PR_GET_DUMPABLE, 0, 0}, "system call " + std::to_string(SYS_prctl) + " \\(prctl\\) for its arguments"},
  };
  for (const TrapCase& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EXIT(
        {
          if (confine_process(Refusal::kTrap).state != Confinement::kConfined) std::_Exit(3);
          ::syscall(c.number, c.args[0], c.args[1], c.args[2]);
          std::_Exit(4);
        },
        ::testing::KilledBySignal(SIGABRT), "fatal error in thread 'main' at src/sandbox/sandbox.cpp:[0-9]+:\n"
                                            "the sandbox refused " + c.report);
  }
}

// A thread under a filter of its own can't join the new one. The kernel then
// confines no thread at all, the caller included: the outcome says so and
// the bridge relays unconfined, rather than with one thread left open.
TEST(ConfineProcessTest, AThreadThatCannotJoinLeavesEveryThreadUnconfined) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  const pid_t child = ::fork();
  if (child == 0) {
    std::atomic<int> stage{0};
    std::thread filtered([&stage] {
      if (!testing::install_filter(testing::kAllowEverything)) ::_exit(4);
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
