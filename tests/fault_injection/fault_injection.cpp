// A preload library that injects the faults real systems produce into the
// calls the bridge moves its data with, so that end-to-end tests can check
// that nothing is lost or reordered under them. Loaded with LD_PRELOAD and
// steered by the environment, read once at load time:
//
//   TRELLUNE_FAULT_SEED               seed of the fault sequence (default 1)
//   TRELLUNE_FAULT_INTERRUPT_PERCENT  calls that fail with EINTR, doing nothing
//   TRELLUNE_FAULT_SHORT_PERCENT      reads and writes that move fewer bytes
//   TRELLUNE_FAULT_FAIL_CALL          one call name, failed once ...
//   TRELLUNE_FAULT_FAIL_AFTER         ... after this many calls of it pass ...
//   TRELLUNE_FAULT_FAIL_ERRNO         ... with this errno, doing nothing
//   TRELLUNE_FAULT_NO_NETLINK         1: every AF_NETLINK socket() fails with
//                                     EAFNOSUPPORT, as under an emulator
//                                     that does not translate the protocol
//   TRELLUNE_FAULT_PROC_NET_TCP_ERRNO  opening /proc/net/tcp fails with this
//                                     errno: EACCES (13) as in a sandbox,
//                                     ENOENT (2) as without the table
//   TRELLUNE_FAULT_PROC_NET_TCP6_ERRNO the same for /proc/net/tcp6
//   TRELLUNE_FAULT_BAD_PROC_LINE      1: /proc/net/tcp reads with a malformed
//                                     line after the kernel's
//   TRELLUNE_FAULT_BAD_DIAG_ATTRIBUTE 1: in every netlink datagram received,
//                                     the first socket's first attribute
//                                     claims more bytes than its message has
//   TRELLUNE_FAULT_TRY_ESCAPE         1: at the first sendmsg, play code that
//                                     a crafted request got running: try
//                                     what such code would (files, sockets,
//                                     programs, tracing, namespaces, new
//                                     processes, other processes' signals,
//                                     limits and scheduling, IPC, watching
//                                     files, changing a held one, executable
//                                     memory, terminal settings) and write
//                                     "call: ERRNAME" (or "call: succeeded")
//                                     for each to descriptor 2, the one
//                                     output a confined bridge keeps
//   TRELLUNE_FAULT_ESCAPE_TARGET      the process id those attempts aim at
//                                     where they name another process: one
//                                     of the test's own
//
// Calls in scope: read on descriptor 0, write on descriptor 1 (the event
// loop's eventfd and standard error pass untouched), recv, sendmsg, connect,
// epoll_wait, poll, and sendto and recvfrom (which only the peer check's
// netlink requests call by those names), for NO_NETLINK socket, for the
// two PROC_NET_ ones open, and for the two BAD_ ones open and recvfrom.
// Interruptions hit read, write, epoll_wait and poll:
// the bridge reports an interrupted recv or sendmsg as an error, which the
// FAIL_* variables provoke on purpose. Short transfers hit read and write
// only: the bridge takes a short non-blocking recv or sendmsg as a drained or
// full socket queue, as the kernel guarantees, and waits for the next edge,
// which a faked short transfer would never bring.
//
// Bookkeeping is a few atomics, so worker threads may call in at any time,
// and it calls nothing that could lead back into this library.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sched.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Call : int { kRead, kWrite, kRecv, kSendmsg, kConnect, kEpollWait, kPoll, kSendto, kRecvfrom, kCallCount };
constexpr const char* kCallNames[kCallCount] = {"read", "write", "recv",   "sendmsg", "connect",
                                                "epoll_wait", "poll", "sendto", "recvfrom"};

struct Settings {
  std::uint64_t seed = 1;
  std::uint64_t interrupt_percent = 0;
  std::uint64_t short_percent = 0;
  int fail_call = -1;
  std::uint64_t fail_after = 0;
  int fail_errno = 0;
  bool no_netlink = false;
  int proc_net_tcp_errno = 0;
  int proc_net_tcp6_errno = 0;
  bool bad_proc_line = false;
  bool bad_diag_attribute = false;
  bool try_escape = false;
  long escape_target = 0;
};

Settings settings;
std::atomic<std::uint64_t> draws{0};
std::atomic<std::uint64_t> calls[kCallCount];
std::atomic<bool> escape_tried{false};

std::uint64_t number_from(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// Runs before main, while the process has one thread.
__attribute__((constructor)) void read_settings() {
  settings.seed = number_from("TRELLUNE_FAULT_SEED", 1);
  settings.interrupt_percent = number_from("TRELLUNE_FAULT_INTERRUPT_PERCENT", 0);
  settings.short_percent = number_from("TRELLUNE_FAULT_SHORT_PERCENT", 0);
  settings.fail_after = number_from("TRELLUNE_FAULT_FAIL_AFTER", 0);
  settings.fail_errno = static_cast<int>(number_from("TRELLUNE_FAULT_FAIL_ERRNO", 0));
  settings.no_netlink = number_from("TRELLUNE_FAULT_NO_NETLINK", 0) != 0;
  settings.proc_net_tcp_errno = static_cast<int>(number_from("TRELLUNE_FAULT_PROC_NET_TCP_ERRNO", 0));
  settings.proc_net_tcp6_errno = static_cast<int>(number_from("TRELLUNE_FAULT_PROC_NET_TCP6_ERRNO", 0));
  settings.bad_proc_line = number_from("TRELLUNE_FAULT_BAD_PROC_LINE", 0) != 0;
  settings.bad_diag_attribute = number_from("TRELLUNE_FAULT_BAD_DIAG_ATTRIBUTE", 0) != 0;
  settings.try_escape = number_from("TRELLUNE_FAULT_TRY_ESCAPE", 0) != 0;
  settings.escape_target = static_cast<long>(number_from("TRELLUNE_FAULT_ESCAPE_TARGET", 0));
  if (const char* name = std::getenv("TRELLUNE_FAULT_FAIL_CALL")) {
    for (int call = 0; call < kCallCount; ++call) {
      if (std::strcmp(name, kCallNames[call]) == 0) settings.fail_call = call;
    }
  }
}

// splitmix64 over a shared draw counter: a fixed sequence for a given seed,
// however the threads' calls interleave.
std::uint64_t draw() {
  std::uint64_t z = settings.seed + 0x9e3779b97f4a7c15u * (draws.fetch_add(1, std::memory_order_relaxed) + 1);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

bool chance(std::uint64_t percent) { return percent > 0 && draw() % 100 < percent; }

// Decides a call's fate before it runs: true means it fails with errno set
// and must do nothing.
bool fails(Call call, bool interruptible) {
  const std::uint64_t index = calls[call].fetch_add(1, std::memory_order_relaxed);
  if (call == settings.fail_call && index == settings.fail_after) {
    errno = settings.fail_errno;
    return true;
  }
  if (interruptible && chance(settings.interrupt_percent)) {
    errno = EINTR;
    return true;
  }
  return false;
}

// At least one byte moves, so a short transfer is never mistaken for the end
// of the stream or a zero-length write.
std::size_t shortened(std::size_t count) {
  if (count < 2 || !chance(settings.short_percent)) return count;
  return 1 + static_cast<std::size_t>(draw() % (count - 1));
}

template <typename Function>
Function next(const char* name) {
  // dlsym allocates at most; it never reads or writes a descriptor.
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

void report_escape(const char* call, long result) {
  const char* outcome = "succeeded";
  if (result == -1) {
    outcome = ::strerrorname_np(errno);
    if (outcome == nullptr) outcome = "an unnamed error";
  }
  char line[80];
  const int length = std::snprintf(line, sizeof line, "%s: %s\n", call, outcome);
  (void)::write(STDERR_FILENO, line, static_cast<std::size_t>(length));
}

// Under the test builds' trapping filter a refused call raises SIGSYS, whose
// report would end the bridge at the first attempt. While the attempts run,
// this handler answers each refused call with EPERM instead, as a release's
// filter does: the call was not made either way.
void answer_refused_call_with_eperm(int, siginfo_t*, void* context) {
  auto* registers = &static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
  registers->gregs[REG_RAX] = -EPERM;
#elif defined(__aarch64__)
  registers->regs[0] = static_cast<unsigned long long>(-EPERM);
#endif
}

// A new process that an attempt made: it must end at once and do nothing.
void end_if_child(long result) {
  if (result == 0) ::_exit(0);
}

void try_to_escape(int connection) {
  struct sigaction eperm {};
  struct sigaction before {};
  eperm.sa_sigaction = answer_refused_call_with_eperm;
  eperm.sa_flags = SA_SIGINFO;
  (void)::sigaction(SIGSYS, &eperm, &before);

  const int file = ::openat(AT_FDCWD, "/etc/hostname", O_RDONLY | O_CLOEXEC);
  report_escape("openat", file);
  if (file >= 0) ::close(file);
  const int endpoint = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  report_escape("socket", endpoint);
  if (endpoint >= 0) ::close(endpoint);
  // Returns only when refused; otherwise the bridge is gone, and no reply
  // comes.
  char name[] = "true";
  char* const argv[] = {name, nullptr};
  char* const envp[] = {nullptr};
  report_escape("execve", ::execve("/bin/true", argv, envp));
  report_escape("ptrace", ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr));

  // Namespaces, and processes that would outlive the bridge.
  const long namespaces = CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS | SIGCHLD;
  long result = ::syscall(SYS_clone, namespaces, 0, 0, 0, 0);
  end_if_child(result);
  report_escape("clone with new namespaces", result);
  clone_args arguments{};
  arguments.flags = CLONE_NEWUSER | CLONE_NEWNET;
  arguments.exit_signal = SIGCHLD;
  result = ::syscall(SYS_clone3, &arguments, sizeof arguments);
  end_if_child(result);
  report_escape("clone3 with new namespaces", result);
  result = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
  end_if_child(result);
  report_escape("fork", result);
  // Threads: without end, the user's process limit runs out. Through
  // clone() itself: pthread_create blocks every signal around the call, so a
  // trapping filter's SIGSYS would kill instead of reaching the handler.
  static char stack[16384];
  result = ::clone([](void*) -> int { return static_cast<int>(::syscall(SYS_exit, 0)); }, stack + sizeof stack,
                   CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM, nullptr);
  report_escape("clone of a thread", result);
  // A life of its own: the signal that ends it with its client, taken back.
  report_escape("prctl PR_SET_PDEATHSIG", ::syscall(SYS_prctl, PR_SET_PDEATHSIG, 0, 0, 0, 0));

  // Descriptors for what they aren't kept for: the connection written
  // around the relay, standard output read, or sent the connection itself.
  report_escape("write to the connection", ::syscall(SYS_write, connection, "", 0));
  char byte = 0;
  report_escape("read of standard output", ::syscall(SYS_read, STDOUT_FILENO, &byte, 0));
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec one_byte{&byte, 1};
  msghdr message{nullptr, 0, &one_byte, 1, control, sizeof control, 0};
  cmsghdr* rights = CMSG_FIRSTHDR(&message);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(rights), &connection, sizeof connection);
  report_escape("sendmsg SCM_RIGHTS on standard output", ::syscall(SYS_sendmsg, STDOUT_FILENO, &message, 0));

  // The client and the user's other processes.
  const long target = settings.escape_target;
  report_escape("fcntl F_SETOWN", ::syscall(SYS_fcntl, STDIN_FILENO, F_SETOWN, target));
  rlimit limit{};
  report_escape("prlimit64", ::syscall(SYS_prlimit64, target, RLIMIT_NOFILE, nullptr, &limit));
  report_escape("setpriority", ::syscall(SYS_setpriority, PRIO_PROCESS, target, 19));
  cpu_set_t one_cpu;
  CPU_ZERO(&one_cpu);
  CPU_SET(0, &one_cpu);
  report_escape("sched_setaffinity", ::syscall(SYS_sched_setaffinity, target, sizeof one_cpu, &one_cpu));
  report_escape("shmget", ::syscall(SYS_shmget, 0x7472656c, 0, 0));
  report_escape("mq_open", ::syscall(SYS_mq_open, "trellune-escape", O_RDONLY, 0, nullptr));

  // The file system, watched or read by name, and a held file changed.
  result = ::syscall(SYS_inotify_init1, IN_CLOEXEC);
  report_escape("inotify_init1", result);
  if (result >= 0) ::close(static_cast<int>(result));
  struct stat status {};
  report_escape("newfstatat", ::syscall(SYS_newfstatat, AT_FDCWD, "/etc/hostname", &status, 0));
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/exe", target);
  char link[256];
  report_escape("readlinkat", ::syscall(SYS_readlinkat, AT_FDCWD, path, link, sizeof link));
  report_escape("fchmod", ::syscall(SYS_fchmod, STDERR_FILENO, 0600));

  // Code of its own making, and the terminal.
  result = ::syscall(SYS_memfd_create, "trellune-escape", MFD_CLOEXEC);
  report_escape("memfd_create", result);
  if (result >= 0) ::close(static_cast<int>(result));
  void* code = ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  report_escape("mmap PROT_EXEC", code == MAP_FAILED ? -1 : 0);
  if (code != MAP_FAILED) ::munmap(code, 4096);
  void* shared = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, STDERR_FILENO, 0);
  report_escape("mmap of a descriptor", shared == MAP_FAILED ? -1 : 0);
  if (shared != MAP_FAILED) ::munmap(shared, 4096);
  // A second mapping of the bridge's own code, executable.
  void* copy = ::mremap(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(&try_to_escape) & ~std::uintptr_t{4095}),
                        4096, 4096, MREMAP_MAYMOVE | MREMAP_DONTUNMAP);
  report_escape("mremap MREMAP_DONTUNMAP", copy == MAP_FAILED ? -1 : 0);
  static std::uint32_t word = 0;
  report_escape("futex FUTEX_LOCK_PI", ::syscall(SYS_futex, &word, FUTEX_LOCK_PI_PRIVATE, 0, nullptr, nullptr, 0));
  termios settings_of_terminal{};
  report_escape("ioctl TCSETS", ::syscall(SYS_ioctl, STDIN_FILENO, TCSETS, &settings_of_terminal));

  (void)::sigaction(SIGSYS, &before, nullptr);
}

// The first socket message that has an attribute gets one longer than what
// is left of its message.
void corrupt_first_attribute(char* datagram, size_t size) {
  constexpr size_t kFirstAttribute = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(inet_diag_msg));
  for (size_t offset = 0; size - offset >= sizeof(nlmsghdr);) {
    nlmsghdr header;
    std::memcpy(&header, datagram + offset, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - offset) return;
    if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && header.nlmsg_len >= kFirstAttribute + NLA_HDRLEN) {
      const auto too_long = static_cast<std::uint16_t>(header.nlmsg_len - kFirstAttribute + NLA_HDRLEN);
      std::memcpy(datagram + offset + kFirstAttribute, &too_long, sizeof too_long);
      return;
    }
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
}

}  // namespace

extern "C" {

// LeakSanitizer's entry point, which the sandbox once took for the leak
// checker's presence: a library that exports it must not leave the bridge
// unconfined, as the escape test shows.
void __lsan_do_leak_check() {}

ssize_t read(int fd, void* buffer, size_t count) {
  static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
  if (fd != STDIN_FILENO) return real(fd, buffer, count);
  if (fails(kRead, true)) return -1;
  return real(fd, buffer, shortened(count));
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  if (fd != STDOUT_FILENO) return real(fd, buffer, count);
  if (fails(kWrite, true)) return -1;
  return real(fd, buffer, shortened(count));
}

ssize_t recv(int fd, void* buffer, size_t count, int flags) {
  static const auto real = next<ssize_t (*)(int, void*, size_t, int)>("recv");
  if (fails(kRecv, false)) return -1;
  return real(fd, buffer, count, flags);
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  static const auto real = next<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
  if (settings.try_escape && !escape_tried.exchange(true)) try_to_escape(fd);
  if (fails(kSendmsg, false)) return -1;
  return real(fd, message, flags);
}

int connect(int fd, const sockaddr* address, socklen_t length) {
  static const auto real = next<int (*)(int, const sockaddr*, socklen_t)>("connect");
  if (fails(kConnect, false)) return -1;
  return real(fd, address, length);
}

int epoll_wait(int epoll_fd, epoll_event* events, int max_events, int timeout) {
  static const auto real = next<int (*)(int, epoll_event*, int, int)>("epoll_wait");
  if (fails(kEpollWait, true)) return -1;
  return real(epoll_fd, events, max_events, timeout);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
  static const auto real = next<int (*)(pollfd*, nfds_t, int)>("poll");
  if (fails(kPoll, true)) return -1;
  return real(fds, count, timeout);
}

int socket(int domain, int type, int protocol) {
  static const auto real = next<int (*)(int, int, int)>("socket");
  if (settings.no_netlink && domain == AF_NETLINK) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return real(domain, type, protocol);
}

ssize_t sendto(int fd, const void* buffer, size_t count, int flags, const sockaddr* to, socklen_t to_length) {
  static const auto real = next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
  if (fails(kSendto, false)) return -1;
  return real(fd, buffer, count, flags, to, to_length);
}

ssize_t recvfrom(int fd, void* buffer, size_t count, int flags, sockaddr* from, socklen_t* from_length) {
  static const auto real = next<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom");
  if (fails(kRecvfrom, false)) return -1;
  const ssize_t received = real(fd, buffer, count, flags, from, from_length);
  int domain = 0;
  socklen_t length = sizeof domain;
  if (settings.bad_diag_attribute && received > 0 && static_cast<size_t>(received) <= count &&
      ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_NETLINK) {
    corrupt_first_attribute(static_cast<char*>(buffer), static_cast<size_t>(received));
  }
  return received;
}

}  // extern "C"

namespace {

using OpenFunction = int (*)(const char*, int, ...);

// A copy of the file in memory, with a line no kernel prints after its own;
// -1 with EIO when the copy can't be made.
int with_a_malformed_line(int file, int flags) {
  static const auto real_read = next<ssize_t (*)(int, void*, size_t)>("read");
  static const auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
  static const char kMalformed[] = "   9: 0100007F:1ED2 not-an-address 0A\n";
  const int copy = ::memfd_create("tcp", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
  char chunk[16384];
  ssize_t count = copy < 0 ? -1 : 0;
  while (count >= 0 && (count = real_read(file, chunk, sizeof chunk)) > 0) {
    if (real_write(copy, chunk, static_cast<size_t>(count)) != count) count = -1;
  }
  ::close(file);
  if (count < 0 || real_write(copy, kMalformed, sizeof kMalformed - 1) != sizeof kMalformed - 1 ||
      ::lseek(copy, 0, SEEK_SET) != 0) {
    if (copy >= 0) ::close(copy);
    errno = EIO;
    return -1;
  }
  return copy;
}

int open_unless_hidden(OpenFunction real, const char* path, int flags, va_list rest) {
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
  const int hidden = std::strcmp(path, "/proc/net/tcp") == 0    ? settings.proc_net_tcp_errno
                     : std::strcmp(path, "/proc/net/tcp6") == 0 ? settings.proc_net_tcp6_errno
                                                                : 0;
  if (hidden != 0) {
    errno = hidden;
    return -1;
  }
  const int fd = real(path, flags, mode);
  if (fd >= 0 && settings.bad_proc_line && std::strcmp(path, "/proc/net/tcp") == 0) {
    return with_a_malformed_line(fd, flags);
  }
  return fd;
}

}  // namespace

extern "C" {

// Both names: which one a caller links to depends on its large-file settings.
int open(const char* path, int flags, ...) {
  static const auto real = next<OpenFunction>("open");
  va_list rest;
  va_start(rest, flags);
  const int fd = open_unless_hidden(real, path, flags, rest);
  va_end(rest);
  return fd;
}

int open64(const char* path, int flags, ...) {
  static const auto real = next<OpenFunction>("open64");
  va_list rest;
  va_start(rest, flags);
  const int fd = open_unless_hidden(real, path, flags, rest);
  va_end(rest);
  return fd;
}

}  // extern "C"
