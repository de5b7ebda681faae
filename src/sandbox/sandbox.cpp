#include "sandbox/sandbox.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "base/fatal.hpp"

namespace trellune {
namespace {

// The filter speaks the call numbers of the architectures the bridge is
// built for; elsewhere the process stays unconfined.
#if defined(__x86_64__) || defined(__aarch64__)
#define TRELLUNE_SECCOMP_FILTER 1

// A test of one argument of a call. The kernel hands the filter every
// argument as 64 bits, so a value is compared whole: a high half that the
// call would ignore still has to be zero.
struct ArgumentTest {
  enum class Kind : std::uint8_t { kNone, kEquals, kLacksBits, kIsThisProcess };
  Kind kind = Kind::kNone;
  std::uint8_t index = 0;
  std::uint64_t value = 0;
};

constexpr ArgumentTest arg_equals(int index, std::uint64_t value) {
  return {ArgumentTest::Kind::kEquals, static_cast<std::uint8_t>(index), value};
}
// For flag words the kernel reads as an int: the bits must be in the low half.
constexpr ArgumentTest arg_lacks(int index, std::uint32_t bits) {
  return {ArgumentTest::Kind::kLacksBits, static_cast<std::uint8_t>(index), bits};
}
// The bridge's own process id, known only when the filter is installed.
constexpr ArgumentTest arg_is_this_process(int index) {
  return {ArgumentTest::Kind::kIsThisProcess, static_cast<std::uint8_t>(index), 0};
}

enum class Verdict : std::uint8_t { kAllow, kNoSuchCall };

struct AllowedCall {
  std::string_view name;
  std::uint32_t number = 0;
  std::array<ArgumentTest, 2> tests{};
  Verdict verdict = Verdict::kAllow;
};

constexpr AllowedCall allow(std::string_view name, std::uint32_t number, ArgumentTest first = {},
                            ArgumentTest second = {}) {
  return {name, number, {first, second}, Verdict::kAllow};
}
constexpr AllowedCall answer_no_such_call(std::string_view name, std::uint32_t number) {
  return {name, number, {}, Verdict::kNoSuchCall};
}

// The flags of glibc's pthread_create, the one clone the bridge makes.
constexpr std::uint64_t kThreadCloneFlags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                                            CLONE_SYSVSEM | CLONE_SETTLS | CLONE_PARENT_SETTID |
                                            CLONE_CHILD_CLEARTID;

// The policy: every call the bridge makes once its connection is vetted, on
// x86-64 and aarch64, under the static release's glibc and glibc 2.35 to 2.41
// in the dynamic build. A call with tests passes when they all hold; a call
// listed twice, when either row's do. Every other call is refused.
constexpr AllowedCall kAllowedCalls[] = {
    // The standard streams and the connection. The filter can't tell one
    // descriptor from another: whatever the client left open is usable too.
    allow("read", __NR_read),
    allow("write", __NR_write),
    allow("recvfrom", __NR_recvfrom),  // recv
    allow("sendmsg", __NR_sendmsg),
    allow("shutdown", __NR_shutdown),
    allow("close", __NR_close),
    allow("getsockopt", __NR_getsockopt, arg_equals(1, SOL_SOCKET), arg_equals(2, SO_ERROR)),

    // Waiting: the loop in epoll, a worker on a futex or in poll on its
    // eventfd and the socket. aarch64 has only the p- forms.
    allow("epoll_ctl", __NR_epoll_ctl),
#ifdef __NR_epoll_wait
    allow("epoll_wait", __NR_epoll_wait),
#endif
    allow("epoll_pwait", __NR_epoll_pwait),
#ifdef __NR_poll
    allow("poll", __NR_poll),
#endif
    allow("ppoll", __NR_ppoll),
    allow("eventfd2", __NR_eventfd2),  // the wake hint's, made after the check
    allow("futex", __NR_futex),
    allow("sched_yield", __NR_sched_yield),
    // A timed wait stopped by SIGSTOP goes on through this after SIGCONT.
    allow("restart_syscall", __NR_restart_syscall),
    // The clock and the CPU, where the vDSO or rseq can't answer.
    allow("clock_gettime", __NR_clock_gettime),
    allow("getcpu", __NR_getcpu),

    // Memory, never executable: nothing maps code once the bridge runs.
    allow("mmap", __NR_mmap, arg_lacks(2, PROT_EXEC)),
    allow("mprotect", __NR_mprotect, arg_lacks(2, PROT_EXEC)),
    allow("munmap", __NR_munmap),
    allow("mremap", __NR_mremap),  // realloc of a mapped block
    allow("brk", __NR_brk),
    allow("madvise", __NR_madvise, arg_equals(2, MADV_DONTNEED)),  // free, a thread's stack

    // Threads: a worker's start, name and end. clone3 keeps its flags in
    // memory that a filter can't read; told it doesn't exist, glibc falls
    // back to clone, whose flags are an argument.
    allow("clone", __NR_clone, arg_equals(0, kThreadCloneFlags)),
    answer_no_such_call("clone3", __NR_clone3),
    allow("set_robust_list", __NR_set_robust_list),
    allow("rseq", __NR_rseq),
    allow("prctl", __NR_prctl, arg_equals(0, PR_SET_NAME)),
    allow("exit", __NR_exit),
    allow("exit_group", __NR_exit_group),

    // Signals within the process: masks, handlers, and the SIGABRT that
    // abort() sends its own thread.
    allow("rt_sigprocmask", __NR_rt_sigprocmask),
    allow("rt_sigaction", __NR_rt_sigaction),
    allow("rt_sigreturn", __NR_rt_sigreturn),
    allow("getpid", __NR_getpid),
    allow("gettid", __NR_gettid),
    allow("tgkill", __NR_tgkill, arg_is_this_process(0)),
};

constexpr std::size_t kCallRows = std::size(kAllowedCalls);

// The rows ordered by call number, a call's rows in the list's order.
constexpr auto kRowsByNumber = [] {
  std::array<AllowedCall, kCallRows> rows{};
  std::array<std::size_t, kCallRows> order{};
  for (std::size_t i = 0; i < kCallRows; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
    return kAllowedCalls[a].number < kAllowedCalls[b].number ||
           (kAllowedCalls[a].number == kAllowedCalls[b].number && a < b);
  });
  for (std::size_t i = 0; i < kCallRows; ++i) rows[i] = kAllowedCalls[order[i]];
  return rows;
}();

// Slips in the list that would make it say what it doesn't: one number under
// two names, or a row that a row of the same call without tests hides.
constexpr bool rows_are_consistent() {
  for (std::size_t i = 1; i < kCallRows; ++i) {
    const AllowedCall& before = kRowsByNumber[i - 1];
    if (before.number != kRowsByNumber[i].number) continue;
    if (before.name != kRowsByNumber[i].name) return false;
    if (before.tests[0].kind == ArgumentTest::Kind::kNone) return false;
  }
  return true;
}
static_assert(rows_are_consistent());

#if defined(__x86_64__)
constexpr std::uint32_t kOwnArch = AUDIT_ARCH_X86_64;
#else
constexpr std::uint32_t kOwnArch = AUDIT_ARCH_AARCH64;
#endif

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr std::uint32_t kLowHalf = 0;
constexpr std::uint32_t kHighHalf = 4;
#else
constexpr std::uint32_t kLowHalf = 4;
constexpr std::uint32_t kHighHalf = 0;
#endif

constexpr std::size_t kMostInstructions = 512;
constexpr std::size_t kMostProcessSlots = 4;

struct FilterProgram {
  std::array<sock_filter, kMostInstructions> code{};
  std::size_t length = 0;
  // The instructions that compare with the process id, filled in at install.
  std::array<std::size_t, kMostProcessSlots> process_slots{};
  std::size_t process_slot_count = 0;
};

// Not constexpr: reached while the program is built at compile time, it makes
// the build fail with this name in the message.
inline void filter_program_does_not_fit() {}

// Translates the sorted list into classic BPF at compile time: the
// architecture, then a binary search over the call numbers whose leaves hold
// each call's tests. Every jump is forward and set from the code laid out,
// never counted by hand; one that would exceed classic BPF's 255-instruction
// reach fails the build.
class ProgramBuilder {
 public:
  consteval explicit ProgramBuilder(std::uint32_t refusal) : refusal_(refusal) {}

  consteval FilterProgram build() {
    load(offsetof(seccomp_data, arch));
    emit(jump(BPF_JEQ, kOwnArch, 1, 0));
    emit(ret(refusal_));
    load(offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    // x32 calls share the architecture's tag and carry this bit in their
    // number; their table is another, with calls of its own.
    emit(jump(BPF_JSET, __X32_SYSCALL_BIT, 0, 1));
    emit(ret(refusal_));
#endif
    search(0, kCallRows);
    return program_;
  }

 private:
  static consteval sock_filter statement(unsigned code, std::uint32_t k) {
    return sock_filter{static_cast<std::uint16_t>(code), 0, 0, k};
  }
  static consteval sock_filter jump(unsigned test, std::uint32_t k, std::uint8_t if_true, std::uint8_t if_false) {
    return sock_filter{static_cast<std::uint16_t>(BPF_JMP | test | BPF_K), if_true, if_false, k};
  }
  static consteval sock_filter ret(std::uint32_t action) { return statement(BPF_RET | BPF_K, action); }

  consteval std::size_t emit(sock_filter instruction) {
    if (program_.length == kMostInstructions) filter_program_does_not_fit();
    program_.code[program_.length] = instruction;
    return program_.length++;
  }
  consteval void load(std::size_t offset) {
    emit(statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offset)));
  }
  consteval void load_argument(std::uint8_t index, std::uint32_t half) {
    load(offsetof(seccomp_data, args) + index * sizeof(std::uint64_t) + half);
  }
  struct Branch {
    std::size_t jump;
    bool if_true;
  };
  // Points a branch of a jump laid out earlier at the next instruction.
  consteval void land(Branch branch) {
    const std::size_t distance = program_.length - branch.jump - 1;
    if (distance > 255) filter_program_does_not_fit();
    sock_filter& from = program_.code[branch.jump];
    (branch.if_true ? from.jt : from.jf) = static_cast<std::uint8_t>(distance);
  }

  // Decides the call number in the accumulator against the rows [first, end).
  consteval void search(std::size_t first, std::size_t end) {
    const std::size_t middle = first_row_of_upper_half(first, end);
    if (middle == first) {
      emit(jump(BPF_JEQ, kRowsByNumber[first].number, 1, 0));
      emit(ret(refusal_));
      tests_of_call(first, end);
      return;
    }
    const std::size_t node = emit(jump(BPF_JGE, kRowsByNumber[middle].number, 0, 0));
    search(first, middle);
    land({node, true});
    search(middle, end);
  }

  // The first row of the call that starts the upper half of the calls in
  // [first, end); `first` when they are rows of one call.
  static consteval std::size_t first_row_of_upper_half(std::size_t first, std::size_t end) {
    const auto starts_call = [first](std::size_t i) {
      return i == first || kRowsByNumber[i].number != kRowsByNumber[i - 1].number;
    };
    std::size_t calls = 0;
    for (std::size_t i = first; i < end; ++i) calls += starts_call(i) ? 1 : 0;
    std::size_t seen = 0;
    for (std::size_t i = first; i < end; ++i) {
      if (starts_call(i) && seen++ == calls / 2) return i;
    }
    return first;
  }

  // One call's rows, each a chain of tests; a failing test goes on to the
  // next row, and past the last to the refusal.
  consteval void tests_of_call(std::size_t first, std::size_t end) {
    for (std::size_t row = first; row < end; ++row) {
      std::array<Branch, 4> failures{};
      std::size_t failure_count = 0;
      for (const ArgumentTest& test : kRowsByNumber[row].tests) {
        switch (test.kind) {
          case ArgumentTest::Kind::kNone:
            break;
          case ArgumentTest::Kind::kLacksBits:
            load_argument(test.index, kLowHalf);
            failures[failure_count++] = {emit(jump(BPF_JSET, static_cast<std::uint32_t>(test.value), 0, 0)), true};
            break;
          case ArgumentTest::Kind::kEquals:
          case ArgumentTest::Kind::kIsThisProcess:
            load_argument(test.index, kLowHalf);
            if (test.kind == ArgumentTest::Kind::kIsThisProcess) {
              if (program_.process_slot_count == kMostProcessSlots) filter_program_does_not_fit();
              program_.process_slots[program_.process_slot_count++] = program_.length;
            }
            failures[failure_count++] = {emit(jump(BPF_JEQ, static_cast<std::uint32_t>(test.value), 0, 0)), false};
            load_argument(test.index, kHighHalf);
            failures[failure_count++] = {emit(jump(BPF_JEQ, static_cast<std::uint32_t>(test.value >> 32), 0, 0)),
                                         false};
            break;
        }
      }
      emit(ret(kRowsByNumber[row].verdict == Verdict::kAllow ? SECCOMP_RET_ALLOW
                                                             : SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)));
      if (failure_count == 0) return;  // the call's last row: nothing follows it
      for (std::size_t i = 0; i < failure_count; ++i) land(failures[i]);
    }
    emit(ret(refusal_));
  }

  std::uint32_t refusal_;
  FilterProgram program_{};
};

constexpr FilterProgram kQuietProgram = ProgramBuilder(SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)).build();
constexpr FilterProgram kTrapProgram = ProgramBuilder(SECCOMP_RET_TRAP).build();

// The SIGSYS handler of the trapping filter: a fatal report that names the
// call, which the kernel gives in the signal's information. Runs on the
// thread that made the call; the report takes no lock and no memory.
void report_refused_call(int, siginfo_t* info, void*) {
  char text[160];
  char* out = text;
  const auto append = [&out, &text](std::string_view part) {
    const std::size_t room = static_cast<std::size_t>(text + sizeof text - out);
    out = std::copy_n(part.data(), std::min(part.size(), room), out);
  };
  const auto append_number = [&out, &text](std::uint64_t value, int base) {
    out = std::to_chars(out, text + sizeof text, value, base).ptr;
  };
  append("the sandbox refused system call ");
  append_number(static_cast<std::uint32_t>(info->si_syscall), 10);
  if (info->si_arch != kOwnArch) {
    append(" of another architecture (audit tag 0x");
    append_number(info->si_arch, 16);
    append(")");
  } else {
    const auto* listed = std::find_if(std::begin(kAllowedCalls), std::end(kAllowedCalls), [&](const AllowedCall& c) {
      return c.number == static_cast<std::uint32_t>(info->si_syscall);
    });
    if (listed != std::end(kAllowedCalls)) {
      append(" (");
      append(listed->name);
      append(") for its arguments");
    } else {
      append(", which is not on its list");
    }
  }
  TRELLUNE_FATAL(std::string_view(text, static_cast<std::size_t>(out - text)));
}

#endif  // x86-64 or aarch64

}  // namespace

// Present when the process carries LeakSanitizer (alone or within
// AddressSanitizer), whichever compiler built it.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

ConfineOutcome confine_process(Refusal refusal) {
  if (&__lsan_do_leak_check != nullptr) return {Confinement::kLeftToLeakChecker};
#ifdef TRELLUNE_SECCOMP_FILTER
  if (refusal == Refusal::kTrap) {
    struct sigaction action {};
    action.sa_sigaction = report_refused_call;
    action.sa_flags = SA_SIGINFO;
    if (::sigaction(SIGSYS, &action, nullptr) != 0) return {Confinement::kUnavailable, errno};
  }
  // The kernel takes a filter from an unprivileged process only once it can
  // gain no privileges: a set-user-ID program it started could otherwise be
  // misled by the calls refused under it.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return {Confinement::kUnavailable, errno};
  FilterProgram program = refusal == Refusal::kTrap ? kTrapProgram : kQuietProgram;
  const auto own_process = static_cast<std::uint32_t>(::getpid());
  for (std::size_t i = 0; i < program.process_slot_count; ++i) program.code[program.process_slots[i]].k = own_process;
  const sock_fprog installed_program{static_cast<unsigned short>(program.length), program.code.data()};
  // TSYNC puts every thread that exists under the filter, not only the
  // calling one; threads started later inherit it. It is all or nothing:
  // when a thread can't join, nobody is confined and the call returns that
  // thread's id. qemu-user answers ENOSYS, a kernel built without filters
  // EINVAL.
  const long installed =
      ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &installed_program);
  if (installed == 0) return {Confinement::kConfined};
  if (installed > 0) return {Confinement::kThreadNotSynchronized};
  return {Confinement::kUnavailable, errno};
#else
  (void)refusal;
  return {Confinement::kUnavailable, ENOSYS};
#endif
}

}  // namespace trellune
