#include "sandbox/sandbox.hpp"

#include <linux/audit.h>
#include <linux/futex.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
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
#include <utility>
#include <vector>

#include "base/fatal.hpp"
#include "base/sanitizers.hpp"
#include "sandbox/internal/filter_program.hpp"

namespace trellune {
namespace {

// The filter speaks the call numbers of the architectures the bridge is
// built for; elsewhere the process stays unconfined.
#if defined(__x86_64__) || defined(__aarch64__)
#define TRELLUNE_SECCOMP_FILTER 1

// A test of one argument of a call. The kernel hands the filter every
// argument as 64 bits; a value the kernel reads whole is compared whole, so a
// high half that the call would ignore still has to be zero.
struct ArgumentTest {
  enum class Kind : std::uint8_t { kNone, kEquals, kLacksBits, kHasBits, kMaskedEquals, kIsThisProcess, kIsDescriptor };
  Kind kind = Kind::kNone;
  std::uint8_t index = 0;
  std::uint64_t value = 0;
  std::uint32_t mask = 0;  // kMaskedEquals: the bits compared; kIsDescriptor: the roles
};

// What a descriptor is to the process. The standard streams have fixed
// numbers; the others are known when the filter is installed.
enum DescriptorRole : std::uint32_t {
  kInput = 1 << 0,       // 0
  kOutput = 1 << 1,      // 1
  kErrors = 1 << 2,      // 2
  kConnection = 1 << 3,  // KeptDescriptors::connection
  kPoller = 1 << 4,      // KeptDescriptors::poller
  kWakers = 1 << 5,      // KeptDescriptors::wakers
};

constexpr ArgumentTest arg_equals(int index, std::uint64_t value) {
  return {ArgumentTest::Kind::kEquals, static_cast<std::uint8_t>(index), value};
}
// The next three are for words the kernel reads as an int: only the low half
// counts.
constexpr ArgumentTest arg_lacks(int index, std::uint32_t bits) {
  return {ArgumentTest::Kind::kLacksBits, static_cast<std::uint8_t>(index), bits};
}
constexpr ArgumentTest arg_has(int index, std::uint32_t bits) {
  return {ArgumentTest::Kind::kHasBits, static_cast<std::uint8_t>(index), bits};
}
constexpr ArgumentTest arg_masked_equals(int index, std::uint32_t mask, std::uint32_t value) {
  return {ArgumentTest::Kind::kMaskedEquals, static_cast<std::uint8_t>(index), value, mask};
}
// The process's own id, known only when the filter is installed.
constexpr ArgumentTest arg_is_this_process(int index) {
  return {ArgumentTest::Kind::kIsThisProcess, static_cast<std::uint8_t>(index), 0};
}
// One of the descriptors of these roles, compared whole: a descriptor is
// never negative, so its high half is zero.
constexpr ArgumentTest arg_descriptor(int index, std::uint32_t roles) {
  return {ArgumentTest::Kind::kIsDescriptor, static_cast<std::uint8_t>(index), 0, roles};
}

enum class Verdict : std::uint8_t { kAllow, kNoSuchCall };

struct AllowedCall {
  std::string_view name;
  std::uint32_t number = 0;
  std::array<ArgumentTest, 3> tests{};
  Verdict verdict = Verdict::kAllow;
};

constexpr AllowedCall allow(std::string_view name, std::uint32_t number, ArgumentTest first = {},
                            ArgumentTest second = {}, ArgumentTest third = {}) {
  return {name, number, {first, second, third}, Verdict::kAllow};
}
constexpr AllowedCall answer_no_such_call(std::string_view name, std::uint32_t number) {
  return {name, number, {}, Verdict::kNoSuchCall};
}

// A futex operation without the two flags that only say how it is done: on
// memory private to the process, and by which clock a deadline counts.
constexpr std::uint32_t kFutexOperation = ~std::uint32_t{FUTEX_PRIVATE_FLAG | FUTEX_CLOCK_REALTIME};

// Older kernel headers lack it.
constexpr std::uint32_t kMremapDontUnmap = 4;

// The policy: every call the process makes once confined, on x86-64 and
// aarch64, under glibc 2.36 (the static release's, and dynamic) and 2.41;
// 2.31's threads and locks make the same calls. A call with tests passes when they all hold; a call listed
// twice, when either row's do. Every other call is refused. No thread starts
// any more, so nothing of a thread's start is here: clone, set_robust_list,
// rseq and prctl's name.
constexpr AllowedCall kAllowedCalls[] = {
    // The standard streams, the connection, and the wake-ups between the
    // event loop and its worker: each call on its own descriptors only.
    allow("read", __NR_read, arg_descriptor(0, kInput | kWakers)),
    allow("write", __NR_write, arg_descriptor(0, kOutput | kErrors | kWakers)),
    allow("recvfrom", __NR_recvfrom, arg_descriptor(0, kConnection)),  // recv
    allow("sendmsg", __NR_sendmsg, arg_descriptor(0, kConnection)),
    allow("shutdown", __NR_shutdown, arg_descriptor(0, kConnection)),
    allow("close", __NR_close, arg_descriptor(0, kConnection | kPoller | kWakers)),
    // The error that ended a connection, for the report.
    allow("getsockopt", __NR_getsockopt, arg_descriptor(0, kConnection), arg_equals(1, SOL_SOCKET),
          arg_equals(2, SO_ERROR)),

    // Waiting: the loop in epoll, the worker on a futex or in poll on its
    // eventfd and the socket. aarch64 has only the p- forms. poll keeps its
    // descriptors in memory, which a filter can't read.
    // Standard input and the connection are entered after the eventfd.
    allow("epoll_ctl", __NR_epoll_ctl, arg_descriptor(0, kPoller), arg_descriptor(2, kInput | kConnection)),
#ifdef __NR_epoll_wait
    allow("epoll_wait", __NR_epoll_wait, arg_descriptor(0, kPoller)),
#endif
    allow("epoll_pwait", __NR_epoll_pwait, arg_descriptor(0, kPoller)),
#ifdef __NR_poll
    allow("poll", __NR_poll),
#endif
    allow("ppoll", __NR_ppoll),
    // The C library's locks, condition variables and thread joins, and the
    // worker's own sleep: wait and wake, nothing of priority inheritance,
    // requeueing or operations on a second word.
    allow("futex", __NR_futex, arg_masked_equals(1, kFutexOperation, FUTEX_WAIT)),
    allow("futex", __NR_futex, arg_masked_equals(1, kFutexOperation, FUTEX_WAKE)),
    allow("futex", __NR_futex, arg_masked_equals(1, kFutexOperation, FUTEX_WAIT_BITSET)),
    allow("sched_yield", __NR_sched_yield),
    // A timed wait stopped by SIGSTOP goes on through this after SIGCONT.
    allow("restart_syscall", __NR_restart_syscall),
    // The clock and the CPU, where the vDSO or rseq can't answer.
    allow("clock_gettime", __NR_clock_gettime),
    allow("getcpu", __NR_getcpu),

    // Memory: anonymous, never executable. Nothing maps code or a file once
    // the process runs, and a mapping can't be copied elsewhere.
    allow("mmap", __NR_mmap, arg_lacks(2, PROT_EXEC), arg_has(3, MAP_ANONYMOUS)),
    allow("mprotect", __NR_mprotect, arg_lacks(2, PROT_EXEC)),
    allow("munmap", __NR_munmap),
    allow("mremap", __NR_mremap, arg_lacks(3, MREMAP_FIXED | kMremapDontUnmap)),  // realloc of a mapped block
    allow("brk", __NR_brk),
    allow("madvise", __NR_madvise, arg_equals(2, MADV_DONTNEED)),  // free, a thread's stack

    // A thread's end, and the process's. clone3 keeps its flags in memory
    // that a filter can't read; told it doesn't exist, the C library falls
    // back to clone, which is refused like any call off the list.
    answer_no_such_call("clone3", __NR_clone3),
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
constexpr std::size_t kMostSlots = 32;

// A value of the compare that an instruction holds, known only at install.
enum class SlotValue : std::uint8_t {
  kProcess, kInput, kOutput, kErrors, kConnection, kPoller, kFirstWaker, kSecondWaker
};

struct Slot {
  std::size_t instruction = 0;
  SlotValue value = SlotValue::kProcess;
};

struct FilterProgram {
  std::array<sock_filter, kMostInstructions> code{};
  std::size_t length = 0;
  std::array<Slot, kMostSlots> slots{};
  std::size_t slot_count = 0;
};

// Each role's descriptors, in the order a test compares them.
constexpr std::pair<std::uint32_t, SlotValue> kRoleDescriptors[] = {
    {kInput, SlotValue::kInput},           {kOutput, SlotValue::kOutput}, {kErrors, SlotValue::kErrors},
    {kConnection, SlotValue::kConnection}, {kPoller, SlotValue::kPoller}, {kWakers, SlotValue::kFirstWaker},
    {kWakers, SlotValue::kSecondWaker},
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

  // The next instruction compares with a value known only at install.
  consteval void fill_at_install(SlotValue value) {
    if (program_.slot_count == kMostSlots) filter_program_does_not_fit();
    program_.slots[program_.slot_count++] = {program_.length, value};
  }

  // Compares the accumulator with each descriptor of `roles`: a match goes
  // on past the comparisons; the branch returned is taken when none matched.
  consteval Branch one_of_descriptors(std::uint32_t roles) {
    std::array<Branch, std::size(kRoleDescriptors)> compares{};
    std::size_t count = 0;
    for (const auto& [role, value] : kRoleDescriptors) {
      if ((roles & role) == 0) continue;
      fill_at_install(value);
      compares[count++] = {emit(jump(BPF_JEQ, 0, 0, 0)), true};
    }
    // The last compare falls through on a match; its miss is the branch out.
    const Branch none{compares[--count].jump, false};
    for (std::size_t i = 0; i < count; ++i) land(compares[i]);
    return none;
  }

  // One call's rows, each a chain of tests; a failing test goes on to the
  // next row, and past the last to the refusal.
  consteval void tests_of_call(std::size_t first, std::size_t end) {
    for (std::size_t row = first; row < end; ++row) {
      std::array<Branch, 6> failures{};
      std::size_t failure_count = 0;
      for (const ArgumentTest& test : kRowsByNumber[row].tests) {
        switch (test.kind) {
          case ArgumentTest::Kind::kNone:
            break;
          case ArgumentTest::Kind::kLacksBits:
            load_argument(test.index, kLowHalf);
            failures[failure_count++] = {emit(jump(BPF_JSET, static_cast<std::uint32_t>(test.value), 0, 0)), true};
            break;
          case ArgumentTest::Kind::kHasBits:
            load_argument(test.index, kLowHalf);
            failures[failure_count++] = {emit(jump(BPF_JSET, static_cast<std::uint32_t>(test.value), 0, 0)), false};
            break;
          case ArgumentTest::Kind::kMaskedEquals:
            load_argument(test.index, kLowHalf);
            emit(statement(BPF_ALU | BPF_AND | BPF_K, test.mask));
            failures[failure_count++] = {emit(jump(BPF_JEQ, static_cast<std::uint32_t>(test.value), 0, 0)), false};
            break;
          case ArgumentTest::Kind::kEquals:
          case ArgumentTest::Kind::kIsThisProcess:
            load_argument(test.index, kLowHalf);
            if (test.kind == ArgumentTest::Kind::kIsThisProcess) fill_at_install(SlotValue::kProcess);
            failures[failure_count++] = {emit(jump(BPF_JEQ, static_cast<std::uint32_t>(test.value), 0, 0)), false};
            load_argument(test.index, kHighHalf);
            failures[failure_count++] = {emit(jump(BPF_JEQ, static_cast<std::uint32_t>(test.value >> 32), 0, 0)),
                                         false};
            break;
          case ArgumentTest::Kind::kIsDescriptor:
            load_argument(test.index, kHighHalf);
            failures[failure_count++] = {emit(jump(BPF_JEQ, 0, 0, 0)), false};
            load_argument(test.index, kLowHalf);
            failures[failure_count++] = one_of_descriptors(test.mask);
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

// The program for this process: the slots filled with its id and its
// descriptors. A descriptor it lacks (-1) becomes 4294967295, whose high half
// is zero: a call on it is let through, and the kernel answers EBADF.
FilterProgram ready_program(const KeptDescriptors& descriptors, Refusal refusal) {
  FilterProgram program = refusal == Refusal::kTrap ? kTrapProgram : kQuietProgram;
  for (std::size_t i = 0; i < program.slot_count; ++i) {
    const Slot& slot = program.slots[i];
    int value = 0;
    switch (slot.value) {
      case SlotValue::kProcess: value = ::getpid(); break;
      case SlotValue::kInput: value = STDIN_FILENO; break;
      case SlotValue::kOutput: value = STDOUT_FILENO; break;
      case SlotValue::kErrors: value = STDERR_FILENO; break;
      case SlotValue::kConnection: value = descriptors.connection; break;
      case SlotValue::kPoller: value = descriptors.poller; break;
      case SlotValue::kFirstWaker: value = descriptors.wakers[0]; break;
      case SlotValue::kSecondWaker: value = descriptors.wakers[1]; break;
    }
    program.code[slot.instruction].k = static_cast<std::uint32_t>(value);
  }
  return program;
}

#endif  // x86-64 or aarch64

}  // namespace

ConfineOutcome confine_process(const KeptDescriptors& descriptors, Refusal refusal) {
  if constexpr (TRELLUNE_LEAK_SANITIZER) return {Confinement::kLeftToLeakChecker};
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
  FilterProgram program = ready_program(descriptors, refusal);
  const sock_fprog installed_program{static_cast<unsigned short>(program.length), program.code.data()};
  // TSYNC puts every thread that exists under the filter, not only the
  // calling one. It is all or nothing: when a thread can't join, nobody is
  // confined and the call returns that thread's id. qemu-user answers
  // ENOSYS, a kernel built without filters EINVAL.
  const long installed =
      ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &installed_program);
  if (installed == 0) return {Confinement::kConfined};
  if (installed > 0) return {Confinement::kThreadNotSynchronized};
  return {Confinement::kUnavailable, errno};
#else
  (void)descriptors;
  (void)refusal;
  return {Confinement::kUnavailable, ENOSYS};
#endif
}

namespace sandbox_internal {

std::vector<ListedCall> listed_calls() {
  std::vector<ListedCall> calls;
#ifdef TRELLUNE_SECCOMP_FILTER
  for (const AllowedCall& call : kAllowedCalls) {
    calls.push_back({call.name, call.number, call.tests[0].kind != ArgumentTest::Kind::kNone,
                     call.verdict == Verdict::kNoSuchCall});
  }
#endif
  return calls;
}

std::vector<sock_filter> filter_program(const KeptDescriptors& descriptors, Refusal refusal) {
#ifdef TRELLUNE_SECCOMP_FILTER
  const FilterProgram program = ready_program(descriptors, refusal);
  return {program.code.begin(), program.code.begin() + static_cast<std::ptrdiff_t>(program.length)};
#else
  (void)descriptors;
  (void)refusal;
  return {};
#endif
}

std::uint32_t own_architecture() {
#ifdef TRELLUNE_SECCOMP_FILTER
  return kOwnArch;
#else
  return 0;
#endif
}

}  // namespace sandbox_internal
}  // namespace trellune
