// sandbox: takes from the process every right the relay does not need, once
// its connection is open and vetted. The bridge parses text that a language
// model wrote; should a fault in that code ever let a request run code, the
// code could reach nothing new. Uses only the C and C++ libraries and the
// kernel's seccomp filters; knows nothing of the relay.
#pragma once

namespace trellune {

enum class Confinement {
  // No new privileges, and every thread of the process runs under the filter.
  kConfined,
  // The kernel, or an emulator such as qemu-user, offers no seccomp filter
  // (or no way to refuse new privileges): the process runs on unconfined.
  kUnavailable,
  // A thread runs under a filter of its own that the new one cannot join, so
  // the kernel installed it on no thread: the process runs on unconfined.
  kThreadNotSynchronized,
  // Built with LeakSanitizer, whose check at exit stops the threads with
  // ptrace and reads /proc, both of which the filter refuses: not installed.
  kLeftToLeakChecker,
};

struct ConfineOutcome {
  Confinement state = Confinement::kUnavailable;
  int error = 0;  // errno of the refused step, for kUnavailable
};

// Sets no-new-privileges, then installs on every thread a filter under which
// these calls fail with EPERM (the call fails; the process lives on, so a
// call the bridge might still make costs a reply, never the session):
//  - reaching anything new: opening a file or making a socket in any way
//    (open, openat, openat2, creat, open_by_handle_at, open_tree, socket,
//    socketpair, connect, bind, listen, accept, accept4), io_uring, whose
//    operations the filter would not see, and another process's descriptors
//    (pidfd_open, pidfd_getfd);
//  - running programs: execve, execveat;
//  - reaching into other processes: ptrace, process_vm_readv/writev,
//    process_madvise, and every signal to another process (kill, tkill,
//    tgkill of another process, the sigqueue calls, pidfd_send_signal);
//  - changing files by name: creating, linking, renaming, removing,
//    truncating, changing modes, owners, times or extended attributes;
//  - changing the process's world: mounts, namespaces (unshare, setns),
//    chroot, bpf, perf_event_open, userfaultfd, the kernel's key rings;
//  - any call of another architecture's table, and x32 calls on x86-64.
// Every other call passes: the standard streams, the one socket, epoll, the
// eventfd, futexes, memory, threads, time, and the abort path.
//
// Never fails the caller: where the filter can't be had the outcome says
// why and the bridge relays unconfined. Call it once.
ConfineOutcome confine_process();

}  // namespace trellune
