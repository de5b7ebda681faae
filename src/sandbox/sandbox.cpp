#include "sandbox/sandbox.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

namespace trellune {
namespace {

// The filter speaks the call numbers of the architectures the bridge is
// built for; elsewhere the process stays unconfined.
#if defined(__x86_64__) || defined(__aarch64__)
#define TRELLUNE_SECCOMP_FILTER 1

// A deny-list, not an allow-list: the calls a thread start, a futex wait, a
// memory map or the abort path make differ between glibc versions, and the
// dynamic build runs on whichever one the machine has. Refusing what is named
// here can't break what the bridge does, which is none of it.
constexpr std::uint32_t kRefusedCalls[] = {
// Reaching anything new: files, sockets, the descriptors of another process,
// and io_uring, whose queued opens and connects no filter would see.
#ifdef __NR_open
    __NR_open,
#endif
#ifdef __NR_creat
    __NR_creat,
#endif
#ifdef __NR_uselib
    __NR_uselib,
#endif
    __NR_openat, __NR_openat2, __NR_open_by_handle_at, __NR_open_tree,
    __NR_socket, __NR_socketpair, __NR_connect, __NR_bind, __NR_listen,
#ifdef __NR_accept
    __NR_accept,
#endif
    __NR_accept4, __NR_io_uring_setup, __NR_io_uring_enter, __NR_io_uring_register,
    __NR_pidfd_open, __NR_pidfd_getfd,
    // Running programs.
    __NR_execve, __NR_execveat,
    // Reaching into other processes. A signal to the bridge itself goes by
    // tgkill, which the program below checks on its own.
    __NR_ptrace, __NR_process_vm_readv, __NR_process_vm_writev, __NR_process_madvise,
    __NR_kill, __NR_tkill, __NR_rt_sigqueueinfo, __NR_rt_tgsigqueueinfo, __NR_pidfd_send_signal,
// Changing files by name.
#ifdef __NR_mkdir
    __NR_mkdir, __NR_rmdir, __NR_unlink, __NR_rename, __NR_link, __NR_symlink, __NR_mknod,
    __NR_chmod, __NR_chown, __NR_lchown, __NR_utime, __NR_utimes, __NR_futimesat,
#endif
#ifdef __NR_renameat
    __NR_renameat,
#endif
    __NR_mkdirat, __NR_unlinkat, __NR_renameat2, __NR_linkat, __NR_symlinkat, __NR_mknodat,
    __NR_fchmodat, __NR_fchownat, __NR_truncate, __NR_utimensat, __NR_setxattr, __NR_lsetxattr,
    __NR_removexattr, __NR_lremovexattr,
    // Changing the process's world, and the system's where it runs as root.
    __NR_mount, __NR_umount2, __NR_pivot_root, __NR_chroot, __NR_unshare, __NR_setns, __NR_fsopen,
    __NR_fsconfig, __NR_fsmount, __NR_fspick, __NR_move_mount, __NR_mount_setattr, __NR_bpf,
    __NR_perf_event_open, __NR_userfaultfd, __NR_add_key, __NR_request_key, __NR_keyctl,
    __NR_init_module, __NR_finit_module, __NR_delete_module, __NR_kexec_load,
#ifdef __NR_kexec_file_load
    __NR_kexec_file_load,
#endif
#ifdef __NR_iopl
    __NR_iopl, __NR_ioperm,
#endif
    __NR_reboot, __NR_swapon, __NR_swapoff, __NR_acct, __NR_quotactl, __NR_quotactl_fd,
    __NR_sethostname, __NR_setdomainname, __NR_settimeofday, __NR_clock_settime, __NR_clock_adjtime,
    __NR_adjtimex,
    // Calls newer than the kernel headers a build may have. Since 5.1 every
    // architecture numbers new calls alike: fchmodat2, setxattrat,
    // removexattrat, open_tree_attr, file_setattr.
    452, 463, 466, 467, 469,
};

// Sorted for the search below; a call listed twice is a slip in the list.
constexpr auto kSortedRefusedCalls = [] {
  std::array<std::uint32_t, std::size(kRefusedCalls)> calls{};
  std::copy(std::begin(kRefusedCalls), std::end(kRefusedCalls), calls.begin());
  std::sort(calls.begin(), calls.end());
  return calls;
}();
static_assert(std::adjacent_find(kSortedRefusedCalls.begin(), kSortedRefusedCalls.end()) ==
              kSortedRefusedCalls.end());

#ifdef __NR_fchmodat2
static_assert(__NR_fchmodat2 == 452);
#endif
#ifdef __NR_setxattrat
static_assert(__NR_setxattrat == 463 && __NR_removexattrat == 466);
#endif
#ifdef __NR_open_tree_attr
static_assert(__NR_open_tree_attr == 467);
#endif
#ifdef __NR_file_setattr
static_assert(__NR_file_setattr == 469);
#endif

#if defined(__x86_64__)
constexpr std::uint32_t kOwnArch = AUDIT_ARCH_X86_64;
#else
constexpr std::uint32_t kOwnArch = AUDIT_ARCH_AARCH64;
#endif

// Calls that a leaf of the search compares one by one.
constexpr std::size_t kLeafCalls = 8;

// Instructions of the search over n sorted calls, as FilterProgram lays it out.
constexpr std::size_t search_length(std::size_t n) {
  return n <= kLeafCalls ? n + 2 : 1 + search_length(n / 2) + search_length(n - n / 2);
}
// Classic BPF jumps only forward, by at most 255 instructions. The longest
// jump is the root's, over the lower half of the search.
static_assert(search_length(std::size(kSortedRefusedCalls) / 2) <= 255);

// The kernel works out, once when the filter is installed, which call numbers
// it lets through whatever their arguments, and from then on passes those with
// a bit test instead of running the program; only tgkill and ioctl read an
// argument. That trial runs the program for every number of the table, so the
// path through it is kept short: a binary search over the sorted calls rather
// than a list of comparisons (what each costs: docs/performance-log.md,
// "The sandbox's filter").
class FilterProgram {
 public:
  std::vector<sock_filter> build(std::uint32_t own_process) {
    code_.reserve(kHeadLength + search_length(kSortedRefusedCalls.size()));
    load(offsetof(seccomp_data, arch));
    code_.push_back(jump(BPF_JEQ, kOwnArch, 1, 0));
    code_.push_back(refusal());
    load(offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    // x32 calls share the architecture's tag and carry this bit in their
    // number; their table is another, with calls of its own.
    code_.push_back(jump(BPF_JSET, __X32_SYSCALL_BIT, 0, 1));
    code_.push_back(refusal());
#endif
    // tgkill is how abort() raises SIGABRT on the bridge's own thread;
    // aimed at any other process it is refused like kill. The high half of
    // the argument must be zero too, since the kernel reads it as an int.
    code_.push_back(jump(BPF_JEQ, __NR_tgkill, 0, 6));
    load(offsetof(seccomp_data, args[0]) + kLowHalf);
    code_.push_back(jump(BPF_JEQ, own_process, 0, 3));
    load(offsetof(seccomp_data, args[0]) + kHighHalf);
    code_.push_back(jump(BPF_JEQ, 0, 0, 1));
    code_.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    code_.push_back(refusal());
    // When a standard stream is a terminal, TIOCSTI and TIOCLINUX would
    // type into it, and the shell reading it would run what they typed.
    // The kernel reads the request as an unsigned int: the low half.
    code_.push_back(jump(BPF_JEQ, __NR_ioctl, 0, 5));
    load(offsetof(seccomp_data, args[1]) + kLowHalf);
    code_.push_back(jump(BPF_JEQ, TIOCSTI, 2, 0));
    code_.push_back(jump(BPF_JEQ, TIOCLINUX, 1, 0));
    code_.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    code_.push_back(refusal());
    search(kSortedRefusedCalls);
    return std::move(code_);
  }

 private:
  // The instructions before the search, at most: the architecture, x32,
  // tgkill, ioctl. Reserved with the search, the program takes one allocation.
  static constexpr std::size_t kHeadLength = 19;

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  static constexpr std::uint32_t kLowHalf = 0;
  static constexpr std::uint32_t kHighHalf = 4;
#else
  static constexpr std::uint32_t kLowHalf = 4;
  static constexpr std::uint32_t kHighHalf = 0;
#endif

  static sock_filter statement(unsigned code, std::uint32_t k) {
    return sock_filter{static_cast<std::uint16_t>(code), 0, 0, k};
  }
  static sock_filter jump(unsigned test, std::uint32_t k, std::uint8_t if_true, std::uint8_t if_false) {
    return sock_filter{static_cast<std::uint16_t>(BPF_JMP | test | BPF_K), if_true, if_false, k};
  }
  static sock_filter refusal() {
    return statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA));
  }
  void load(std::size_t offset) {
    code_.push_back(statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offset)));
  }

  // Decides a call number (in the accumulator) against sorted calls. Every
  // jump stays inside the subtree, and each leaf ends in its own returns.
  void search(std::span<const std::uint32_t> calls) {
    if (calls.size() <= kLeafCalls) {
      for (std::size_t i = 0; i < calls.size(); ++i) {
        code_.push_back(jump(BPF_JEQ, calls[i], static_cast<std::uint8_t>(calls.size() - i), 0));
      }
      code_.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
      code_.push_back(refusal());
      return;
    }
    const std::size_t lower = calls.size() / 2;
    const std::size_t node = code_.size();
    code_.push_back(jump(BPF_JGE, calls[lower], 0, 0));
    search(calls.first(lower));
    code_[node].jt = static_cast<std::uint8_t>(code_.size() - node - 1);
    search(calls.subspan(lower));
  }

  std::vector<sock_filter> code_;
};

#endif  // x86-64 or aarch64

}  // namespace

// Present when the process carries LeakSanitizer (alone or within
// AddressSanitizer), whichever compiler built it.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

ConfineOutcome confine_process() {
  if (&__lsan_do_leak_check != nullptr) return {Confinement::kLeftToLeakChecker};
#ifdef TRELLUNE_SECCOMP_FILTER
  // The kernel takes a filter from an unprivileged process only once it can
  // gain no privileges: a set-user-ID program it started could otherwise be
  // misled by the calls refused under it.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return {Confinement::kUnavailable, errno};
  std::vector<sock_filter> code = FilterProgram().build(static_cast<std::uint32_t>(::getpid()));
  const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  // TSYNC puts every thread that exists under the filter, not only the
  // calling one; threads started later inherit it. It is all or nothing:
  // when a thread can't join, nobody is confined and the call returns that
  // thread's id. qemu-user answers ENOSYS, a kernel built without filters
  // EINVAL.
  const long installed =
      ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program);
  if (installed == 0) return {Confinement::kConfined};
  if (installed > 0) return {Confinement::kThreadNotSynchronized};
  return {Confinement::kUnavailable, errno};
#else
  return {Confinement::kUnavailable, ENOSYS};
#endif
}

}  // namespace trellune
