// Calls made after confine_process(), in a forked child: each one the filter
// must refuse fails with EPERM, each one the bridge needs still works. The
// arguments of a refused call are chosen so that, unconfined, it would fail
// in another way (or succeed) without touching anything, so a call that
// slipped through the filter shows and changes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sched.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <span>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/fatal.hpp"
#include "sandbox/internal/filter_program.hpp"
#include "support/confined_child.hpp"
#include "support/death_test_style.hpp"

namespace trellune {
namespace {

using sandbox_internal::ListedCall;

enum class Table { kOwn, kX32 };

// What a call must come to: success, failure with this errno, or whatever
// the kernel makes of it (the filter let it through; what happens next
// depends on the machine, as for a read of standard input).
constexpr int kPasses = 0;
constexpr int kReachesTheKernel = -2;

// A row the filter is asked about but that no test makes, for its call
// would end or derail the process: exit, rt_sigreturn.
enum class Made { kInTheChild, kOnlyInterpreted };

struct CallCase {
  const char* name;
  long number;
  std::array<long, 6> args;
  int error;
  Table table = Table::kOwn;
  Made made = Made::kInTheChild;
};

struct CallResult {
  long value;
  int error;
};

long address(const void* p) { return static_cast<long>(reinterpret_cast<std::uintptr_t>(p)); }

// The descriptors of a confined child: those it keeps, as the bridge keeps its
// connection, its epoll instance and its eventfds, and one it was left but
// doesn't keep. Made once in a process, and inherited by its children.
struct ChildDescriptors {
  KeptDescriptors kept;
  int not_kept = -1;
};

const ChildDescriptors& child_descriptors() {
  static const ChildDescriptors descriptors = [] {
    ChildDescriptors made;
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return made;
    made.kept.connection = pair[0];
    made.kept.poller = ::epoll_create1(EPOLL_CLOEXEC);
    // Each holds a count, so that a read of it succeeds.
    made.kept.wakers = {::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK), ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK)};
    made.not_kept = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
    return made;
  }();
  return descriptors;
}

KeptDescriptors kept_descriptors() { return child_descriptors().kept; }

// Built afresh in the child, whose own pid and thread id the cases use. Rows
// run in this order: a descriptor is closed only after its last use.
std::vector<CallCase> call_cases() {
  static const char kEmpty[] = "";
  static const char kName[] = "trellune-test";
  static std::uint32_t futex_word = 0;
  static std::uint64_t counter = 1;
  static char byte = 'x';
  static iovec one_byte{&byte, 1};
  static msghdr message{nullptr, 0, &one_byte, 1, nullptr, 0, 0};
  static epoll_event event{EPOLLIN, {}};
  static pollfd poll_entry{-1, 0, 0};
  static timespec no_time{};
  static timespec now{};
  const ChildDescriptors& d = child_descriptors();
  const long empty = address(kEmpty);
  const long buffer = address(&counter);
  const long pid = ::getpid();
  const long tid = ::gettid();
  const long no_such_pid = 0x3ffffff0;
  const long no_such_key = 0x7ffffff0;
  const long thread_flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM |
                            CLONE_SETTLS | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
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
      // Threads, namespaces and new processes: no clone at all (the flag sets
      // here are invalid too, so unconfined they make nothing).
      {"clone with a thread's flags", SYS_clone, {thread_flags & ~CLONE_SIGHAND, 0, 0, 0, 0}, EPERM},
      {"clone into new namespaces", SYS_clone, {CLONE_NEWUSER | CLONE_NEWNET | CLONE_FS, 0, 0, 0, 0}, EPERM},
      {"clone as fork", SYS_clone, {SIGCHLD | CLONE_SIGHAND, 0, 0, 0, 0}, EPERM},
      {"clone with CLONE_PARENT", SYS_clone, {CLONE_PARENT | CLONE_SIGHAND, 0, 0, 0, 0}, EPERM},
      // Said not to exist, so that glibc falls back to clone.
      {"clone3", SYS_clone3, {0, 0}, ENOSYS},
      {"unshare", SYS_unshare, {-1}, EPERM},
      {"setns", SYS_setns, {-1, 0}, EPERM},
      {"mount", SYS_mount, {0, 0, 0, 0, 0}, EPERM},
      // Harming the user's other processes, or living on without the client.
      {"fcntl F_SETOWN", SYS_fcntl, {d.not_kept, F_SETOWN, no_such_pid}, EPERM},
      {"prlimit64 of another process", SYS_prlimit64, {no_such_pid, RLIMIT_NOFILE, 0, 0}, EPERM},
      {"setpriority of another process", SYS_setpriority, {PRIO_PROCESS, no_such_pid, 0}, EPERM},
      {"sched_setaffinity of another process", SYS_sched_setaffinity, {no_such_pid, 0, 0}, EPERM},
      {"prctl PR_SET_PDEATHSIG", SYS_prctl, {PR_SET_PDEATHSIG, 65, 0, 0, 0}, EPERM},
      {"prctl PR_SET_NAME", SYS_prctl, {PR_SET_NAME, address(kName), 0, 0, 0}, EPERM},
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
      // Running code of its own making, or mapping a file.
      {"memfd_create", SYS_memfd_create, {empty, -1}, EPERM},
      {"mmap PROT_EXEC", SYS_mmap, {0, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0}, EPERM},
      {"mmap of a descriptor", SYS_mmap, {0, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, d.not_kept, 0}, EPERM},
      {"mprotect PROT_EXEC", SYS_mprotect, {0, 0, PROT_READ | PROT_EXEC}, EPERM},
      {"mremap MREMAP_DONTUNMAP", SYS_mremap, {0, 0, 0, MREMAP_MAYMOVE | 4, 0}, EPERM},
      {"mremap MREMAP_FIXED", SYS_mremap, {0, 0, 0, MREMAP_MAYMOVE | MREMAP_FIXED, 0}, EPERM},
      // A terminal on the standard streams: typing into it, or its settings.
      {"ioctl TIOCSTI", SYS_ioctl, {-1, TIOCSTI, 0}, EPERM},
      {"ioctl TIOCLINUX", SYS_ioctl, {-1, TIOCLINUX, 0}, EPERM},
      {"ioctl TCSETS", SYS_ioctl, {-1, TCSETS, 0}, EPERM},
      {"ioctl FIOCLEX", SYS_ioctl, {d.not_kept, FIOCLEX, 0}, EPERM},
      {"epoll_create1", SYS_epoll_create1, {0}, EPERM},
      // A descriptor used for what it isn't kept for, or not kept at all.
      {"read of a descriptor not kept", SYS_read, {d.not_kept, buffer, 8}, EPERM},
      // The kernel reads the descriptor as an unsigned int: descriptor 0.
      {"read with a high half", SYS_read, {1L << 32, buffer, 0}, EPERM},
      {"write to a descriptor not kept", SYS_write, {d.not_kept, buffer, 8}, EPERM},
      {"write to the connection", SYS_write, {d.kept.connection, buffer, 1}, EPERM},
      {"write to standard input", SYS_write, {STDIN_FILENO, buffer, 0}, EPERM},
      {"recvfrom a descriptor not kept", SYS_recvfrom, {d.not_kept, buffer, 1, MSG_DONTWAIT, 0, 0}, EPERM},
      {"sendmsg on standard output", SYS_sendmsg, {STDOUT_FILENO, address(&message), MSG_DONTWAIT}, EPERM},
      {"shutdown of a descriptor not kept", SYS_shutdown, {d.not_kept, SHUT_RD}, EPERM},
      {"close of a descriptor not kept", SYS_close, {d.not_kept}, EPERM},
      {"close of standard input", SYS_close, {STDIN_FILENO}, EPERM},
      {"epoll_ctl of a descriptor not kept", SYS_epoll_ctl, {d.not_kept, EPOLL_CTL_ADD, 0, address(&event)}, EPERM},
      {"epoll_ctl entering a descriptor not kept", SYS_epoll_ctl,
       {d.kept.poller, EPOLL_CTL_ADD, d.not_kept, address(&event)}, EPERM},
      {"getsockopt SO_PEERCRED", SYS_getsockopt, {d.kept.connection, SOL_SOCKET, SO_PEERCRED, 0, 0}, EPERM},
      {"getsockopt SO_ERROR's number at another level", SYS_getsockopt, {d.kept.connection, IPPROTO_TCP, SO_ERROR},
       EPERM},
      {"getsockopt SO_ERROR of a descriptor not kept", SYS_getsockopt, {d.not_kept, SOL_SOCKET, SO_ERROR}, EPERM},
      // Requests the bridge makes not, of calls it does make.
      {"prctl PR_GET_DUMPABLE", SYS_prctl, {PR_GET_DUMPABLE, 0, 0, 0, 0}, EPERM},
      {"madvise MADV_DONTFORK", SYS_madvise, {0, 0, MADV_DONTFORK}, EPERM},
      {"futex FUTEX_LOCK_PI", SYS_futex, {address(&futex_word), FUTEX_LOCK_PI_PRIVATE, 0, 0}, EPERM},
      {"futex FUTEX_WAKE_OP", SYS_futex, {address(&futex_word), FUTEX_WAKE_OP, 0, 0, address(&futex_word), 0},
       EPERM},
      {"futex FUTEX_CMP_REQUEUE_PI", SYS_futex, {address(&futex_word), FUTEX_CMP_REQUEUE_PI, 0, 0, 0, 0}, EPERM},
      // What the bridge goes on doing, each call on its own descriptors.
      {"read of standard input", SYS_read, {STDIN_FILENO, buffer, 0}, kReachesTheKernel},
      {"read of a waker", SYS_read, {d.kept.wakers[0], buffer, 8}, kPasses},
      {"write to standard output", SYS_write, {STDOUT_FILENO, buffer, 0}, kReachesTheKernel},
      {"write to standard error", SYS_write, {STDERR_FILENO, buffer, 0}, kReachesTheKernel},
      {"write to a waker", SYS_write, {d.kept.wakers[1], buffer, 8}, kPasses},
      {"sendmsg on the connection", SYS_sendmsg, {d.kept.connection, address(&message), MSG_DONTWAIT}, kPasses},
      {"recvfrom the connection", SYS_recvfrom, {d.kept.connection, buffer, 1, MSG_DONTWAIT, 0, 0}, EAGAIN},
      {"shutdown of the connection", SYS_shutdown, {d.kept.connection, SHUT_RD}, kPasses},
      // Reaches the kernel, which finds no buffer to write to.
      {"getsockopt SO_ERROR", SYS_getsockopt, {d.kept.connection, SOL_SOCKET, SO_ERROR, 0, 0}, EFAULT},
      {"epoll_ctl of the poller", SYS_epoll_ctl, {d.kept.poller, EPOLL_CTL_ADD, d.kept.connection, address(&event)},
       kPasses},
      {"epoll_pwait of the poller", SYS_epoll_pwait, {d.kept.poller, address(&event), 1, 0, 0, 8}, kPasses},
      {"ppoll", SYS_ppoll, {address(&poll_entry), 1, address(&no_time), 0, 8}, kPasses},
      {"close of a waker", SYS_close, {d.kept.wakers[1]}, kPasses},
      {"getpid", SYS_getpid, {}, kPasses},
      {"gettid", SYS_gettid, {}, kPasses},
      {"tgkill, signal 0 to its own thread", SYS_tgkill, {pid, tid, 0}, kPasses},
      {"rt_sigprocmask", SYS_rt_sigprocmask, {SIG_BLOCK, 0, 0, 8}, kPasses},
      {"rt_sigaction", SYS_rt_sigaction, {SIGUSR1, 0, 0, 8}, kPasses},
      {"rt_sigreturn", SYS_rt_sigreturn, {}, kPasses, Table::kOwn, Made::kOnlyInterpreted},
      {"restart_syscall", SYS_restart_syscall, {}, EINTR},
      {"clock_gettime", SYS_clock_gettime, {CLOCK_MONOTONIC, address(&now)}, kPasses},
      {"getcpu", SYS_getcpu, {0, 0, 0}, kPasses},
      {"sched_yield", SYS_sched_yield, {}, kPasses},
      {"mmap", SYS_mmap, {0, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0}, kPasses},
      // -1 as a 32-bit int in a 64-bit register: the descriptor of an
      // anonymous mapping goes unread.
      {"mmap, descriptor -1 in the low half", SYS_mmap,
       {0, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, 0xffffffffL, 0}, kPasses},
      {"mprotect", SYS_mprotect, {0, 0, PROT_READ}, kPasses},
      {"mremap MREMAP_MAYMOVE", SYS_mremap, {0, 0, 4096, MREMAP_MAYMOVE, 0}, kReachesTheKernel},
      {"munmap", SYS_munmap, {0, 0}, EINVAL},
      {"brk", SYS_brk, {0}, kPasses},
      {"madvise MADV_DONTNEED", SYS_madvise, {0, 0, MADV_DONTNEED}, kPasses},
      {"futex wake", SYS_futex, {address(&futex_word), FUTEX_WAKE_PRIVATE, 1}, kPasses},
      // Waits on a word that holds another value return at once.
      {"futex wait", SYS_futex, {address(&futex_word), FUTEX_WAIT_PRIVATE, 1, 0}, EAGAIN},
      {"futex shared wait, as a thread's join", SYS_futex, {address(&futex_word), FUTEX_WAIT, 1, 0}, EAGAIN},
      {"futex wait by the real-time clock", SYS_futex,
       {address(&futex_word), FUTEX_WAIT_BITSET | FUTEX_CLOCK_REALTIME, 1, 0, 0, -1}, EAGAIN},
      {"exit", SYS_exit, {}, kPasses, Table::kOwn, Made::kOnlyInterpreted},
      {"exit_group", SYS_exit_group, {}, kPasses, Table::kOwn, Made::kOnlyInterpreted},
  };
#ifdef SYS_open
  cases.push_back({"open", SYS_open, {empty, O_RDONLY}, EPERM});
  cases.push_back({"creat", SYS_creat, {empty, 0}, EPERM});
  cases.push_back({"fork", SYS_fork, {}, EPERM});
  cases.push_back({"stat by path", SYS_stat, {empty, 0}, EPERM});
#endif
#ifdef SYS_epoll_wait  // x86-64: aarch64 has only the p- forms
  cases.push_back({"epoll_wait of the poller", SYS_epoll_wait, {d.kept.poller, address(&event), 1, 0}, kPasses});
  cases.push_back({"poll", SYS_poll, {address(&poll_entry), 1, 0}, kPasses});
#endif
#if defined(__x86_64__)
  cases.push_back({"x32 getpid", SYS_getpid | __X32_SYSCALL_BIT, {}, EPERM, Table::kX32});
#endif
  return cases;
}

CallResult make_call(const CallCase& c) {
  errno = 0;
  const long value = ::syscall(c.number, c.args[0], c.args[1], c.args[2], c.args[3], c.args[4], c.args[5]);
  return {value, value == -1 ? errno : 0};
}

TEST(ConfineProcessTest, RefusesWhatTheRelayDoesNotNeedAndNothingElse) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  const testing::ConfinedRun run = testing::run_confined_in_child(kept_descriptors, [] {
    std::vector<CallResult> results;
    for (const CallCase& c : call_cases()) {
      results.push_back(c.made == Made::kInTheChild ? make_call(c) : CallResult{});
    }
    return std::string(reinterpret_cast<const char*>(results.data()), results.size() * sizeof(CallResult));
  });
  ASSERT_EQ(run.outcome.state, Confinement::kConfined) << testing::why_unconfined(run.outcome);

  const std::vector<CallCase> cases = call_cases();
  ASSERT_EQ(run.output.size(), cases.size() * sizeof(CallResult));
  std::vector<CallResult> results(cases.size());
  std::memcpy(results.data(), run.output.data(), run.output.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    if (cases[i].made == Made::kOnlyInterpreted) continue;
    if (cases[i].error == kPasses) {
      EXPECT_NE(results[i].value, -1) << std::strerror(results[i].error);
    } else if (cases[i].error == kReachesTheKernel) {
      EXPECT_NE(results[i].error, EPERM);
    } else {
      EXPECT_EQ(results[i].value, -1);
      EXPECT_EQ(results[i].error, cases[i].error) << std::strerror(results[i].error);
    }
  }
}

// The calls named by the manual page's list: each entry a .TP, then a
// line of bold names, ".B read" or ".B epoll_wait, epoll_pwait".
std::set<std::string> manual_page_allowed_calls() {
  constexpr std::string_view kManualPage =
#include "manual_page.inc"
      ;
  constexpr std::string_view kHeading = ".SS Calls a confined bridge may make\n";
  std::string_view list = kManualPage.substr(std::min(kManualPage.find(kHeading), kManualPage.size()));
  list = list.substr(0, list.find("\n.S", kHeading.size()));
  std::set<std::string> names;
  for (std::size_t at = 0; (at = list.find(".TP\n.B ", at)) != std::string_view::npos;) {
    at += 7;
    const std::string_view line = list.substr(at, list.find('\n', at) - at);
    for (std::size_t from = 0; from <= line.size();) {
      const std::size_t comma = std::min(line.find(", ", from), line.size());
      names.insert(std::string(line.substr(from, comma - from)));
      from = comma + 2;
    }
  }
  return names;
}

// Every call the list allows has a row above that it passes, and a line in
// the manual page's list; every call that list names is allowed. So the list
// can't grow in one place alone.
TEST(ConfineProcessTest, EveryAllowedCallHasItsRowAndItsLineInTheManualPage) {
  const std::vector<ListedCall> listed = sandbox_internal::listed_calls();
  if (listed.empty()) GTEST_SKIP() << "no filter in builds for this architecture";
  const std::vector<CallCase> cases = call_cases();
  std::set<std::string> documented = manual_page_allowed_calls();
#ifndef SYS_epoll_wait
  // aarch64 has only the p- forms; the manual page names both kinds.
  documented.erase("epoll_wait");
  documented.erase("poll");
#endif
  std::set<std::string> names;
  for (const ListedCall& call : listed) {
    SCOPED_TRACE(std::string(call.name));
    names.insert(std::string(call.name));
    const int outcome = call.answers_no_such_call ? ENOSYS : kPasses;
    EXPECT_TRUE(std::any_of(cases.begin(), cases.end(), [&](const CallCase& c) {
      return c.number == static_cast<long>(call.number) && c.table == Table::kOwn &&
             (c.error == outcome || (outcome == kPasses && c.error != EPERM && c.error != ENOSYS));
    })) << "no row of call_cases() that the filter lets through";
    EXPECT_TRUE(documented.contains(std::string(call.name))) << "not in the manual page's list";
  }
  for (const std::string& name : documented) EXPECT_TRUE(names.contains(name)) << name << ": in the manual page only";
}

// Classic BPF as the kernel runs a seccomp filter, for the instructions the
// program builder emits: loads of seccomp_data's words, AND, forward jumps
// and returns. Anything else, a load out of bounds or a run off the end
// gives nothing, and fails the test.
std::optional<std::uint32_t> run_filter(std::span<const sock_filter> program, const seccomp_data& data) {
  std::uint32_t accumulator = 0;
  for (std::size_t at = 0; at < program.size(); ++at) {
    const sock_filter& op = program[at];
    switch (op.code) {
      case BPF_LD | BPF_W | BPF_ABS:
        if (op.k % 4 != 0 || op.k + 4 > sizeof data) return std::nullopt;
        std::memcpy(&accumulator, reinterpret_cast<const char*>(&data) + op.k, 4);
        break;
      case BPF_ALU | BPF_AND | BPF_K: accumulator &= op.k; break;
      case BPF_JMP | BPF_JEQ | BPF_K: at += accumulator == op.k ? op.jt : op.jf; break;
      case BPF_JMP | BPF_JGE | BPF_K: at += accumulator >= op.k ? op.jt : op.jf; break;
      case BPF_JMP | BPF_JSET | BPF_K: at += (accumulator & op.k) != 0 ? op.jt : op.jf; break;
      case BPF_RET | BPF_K: return op.k;
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

// The program this build makes, asked in an interpreter, so on any machine
// and kernel: every row above, every number of the own table with no
// argument rule, and every number of every other table this architecture's
// kernel can hand a filter, which must all be refused whatever their twin in
// the own table is (i386 24 is getuid, x86-64 24 sched_yield).
TEST(ConfineProcessTest, TheProgramRefusesEveryOtherTableAndFollowsTheList) {
  if (sandbox_internal::listed_calls().empty()) GTEST_SKIP() << "no filter in builds for this architecture";
  std::map<long, bool> listed;  // number: checks arguments
  for (const ListedCall& call : sandbox_internal::listed_calls()) listed[call.number] = call.checks_arguments;
  const std::uint32_t own = sandbox_internal::own_architecture();
#if defined(__x86_64__)
  const std::vector<std::pair<std::uint32_t, long>> foreign = {{AUDIT_ARCH_I386, 0}, {own, __X32_SYSCALL_BIT}};
#else
  const std::vector<std::pair<std::uint32_t, long>> foreign = {{AUDIT_ARCH_ARM, 0}, {AUDIT_ARCH_X86_64, 0}};
#endif
  for (const Refusal refusal : {Refusal::kError, Refusal::kTrap}) {
    const std::uint32_t refused = refusal == Refusal::kTrap ? SECCOMP_RET_TRAP : SECCOMP_RET_ERRNO | EPERM;
    const std::vector<sock_filter> program = sandbox_internal::filter_program(kept_descriptors(), refusal);
    const auto verdict = [&](std::uint32_t arch, long number, const std::array<long, 6>& args) {
      seccomp_data data{static_cast<int>(number), arch, 0, {}};
      for (std::size_t i = 0; i < args.size(); ++i) data.args[i] = static_cast<std::uint64_t>(args[i]);
      return run_filter(program, data);
    };
    for (const CallCase& c : call_cases()) {
      SCOPED_TRACE(c.name);
      const std::uint32_t expected = c.error == EPERM    ? refused
                                     : c.error == ENOSYS ? SECCOMP_RET_ERRNO | ENOSYS
                                                         : SECCOMP_RET_ALLOW;
      EXPECT_EQ(verdict(own, c.number, c.args), expected);
    }
    for (long number = 0; number < 1024; ++number) {
      SCOPED_TRACE("system call " + std::to_string(number));
      const auto row = listed.find(number);
      if (row == listed.end()) {
        EXPECT_EQ(verdict(own, number, {}), refused);
      } else if (!row->second && number != SYS_clone3) {
        EXPECT_EQ(verdict(own, number, {}), SECCOMP_RET_ALLOW);
      }
      for (const auto& [arch, table_bit] : foreign) {
        EXPECT_EQ(verdict(arch, number | table_bit, {}), refused);
      }
    }
  }
}

#if defined(__x86_64__)
// Whether this kernel has the 32-bit entry: some are built or booted without
// it, and int $0x80 then ends the process, filter or not. Asked in a child
// with no filter.
std::optional<std::string> why_no_32_bit_entry() {
  const std::string answer = testing::output_of_child([](int fd) {
    long value = 20;  // i386 getpid
    asm volatile("int $0x80" : "+a"(value) : "b"(0), "c"(0), "d"(0) : "memory", "r8", "r9", "r10", "r11");
    testing::send_or_exit(fd, value == ::getpid() ? "1" : "0");
  });
  if (answer == "1") return std::nullopt;
  return answer.empty() ? "no 32-bit entry on this kernel: int $0x80 ended a process without a filter"
                        : "no 32-bit entry on this kernel: i386 getpid did not answer";
}

// Calls through the i386 table are refused, among them those whose x86-64
// twin the list allows: a filter that forgot the architecture would let
// them through.
TEST(ConfineProcessTest, RefusesCallsThroughThe32BitEntry) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  if (const auto why = why_no_32_bit_entry()) GTEST_SKIP() << *why;
  // getpid, getuid (x86-64: sched_yield), time (x86-64: rt_sigaction)
  constexpr std::array<long, 3> kNumbers = {20, 24, 13};
  const testing::ConfinedRun run = testing::run_confined_in_child(kept_descriptors, [&] {
    std::string answers;
    for (long value : kNumbers) {
      asm volatile("int $0x80" : "+a"(value) : "b"(0), "c"(0), "d"(0) : "memory", "r8", "r9", "r10", "r11");
      answers += std::to_string(value) + " ";
    }
    return answers;
  });
  ASSERT_EQ(run.outcome.state, Confinement::kConfined) << testing::why_unconfined(run.outcome);
  EXPECT_EQ(run.output, "-1 -1 -1 ");
}
#endif

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
    const std::string answers = testing::output_of_child([&](int pipe) {
      const int fd = testing::report_on_standard_output(pipe);
      const bool ready = testing::install_filter(kMarkedCallsFail) &&
                         (!confined || confine_process(kept_descriptors()).state == Confinement::kConfined);
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

// The calls that pass must be the list's without argument rules and no
// other; those with rules are judged by the rows of call_cases(). x32 calls
// are all refused. A number that the first filter alone doesn't answer with
// ESRCH is one the kernel answers before any filter (a signal for a number it
// doesn't know, on some kernels), so no filter's to judge.
TEST(ConfineProcessTest, EveryCallOffTheListIsRefused) {
  if (const auto why = testing::why_filters_are_unavailable()) GTEST_SKIP() << *why;
  std::map<long, ListedCall> listed;
  for (const ListedCall& call : sandbox_internal::listed_calls()) listed[call.number] = call;
  std::vector<long> table_bits = {0};
#if defined(__x86_64__)
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
      const auto row = listed.find(number);
      if (table_bit == 0 && row != listed.end() && row->second.checks_arguments) continue;
      int expected = EPERM;
      if (table_bit == 0 && row != listed.end()) expected = row->second.answers_no_such_call ? ENOSYS : ESRCH;
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
        if (confine_process(kept_descriptors()).state != Confinement::kConfined) std::_Exit(3);
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
      {SYS_mprotect, {0, 0, PROT_EXEC}, "system call " + std::to_string(SYS_mprotect) + " \\(mprotect\\) for its arguments"},
  };
  for (const TrapCase& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EXIT(
        {
          if (confine_process(kept_descriptors(), Refusal::kTrap).state != Confinement::kConfined) std::_Exit(3);
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
    const ConfineOutcome outcome = confine_process(kept_descriptors());
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
