// sandbox: takes from the process every right the relay does not need, once
// its connection is open and vetted. The bridge parses text that a language
// model wrote; should a fault in that code ever let a request run code, the
// code could do no more than the relay does. Uses the C and C++ libraries,
// the kernel's seccomp filters and base's fatal report; knows nothing of the
// relay.
#pragma once

#include <array>

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
  // Built with LeakSanitizer (AddressSanitizer carries it), whose check at
  // exit stops the threads with ptrace and reads /proc, both of which the
  // filter refuses: not installed.
  kLeftToLeakChecker,
};

struct ConfineOutcome {
  Confinement state = Confinement::kUnavailable;
  int error = 0;  // errno of the refused step, for kUnavailable
};

// What a call outside the allowed list meets.
enum class Refusal {
  // It fails with EPERM and the process lives on: a call the bridge itself
  // should ever make costs an error, never the session. Releases use this.
  kError,
  // SIGSYS, whose handler writes a fatal report naming the call and aborts:
  // the test builds use this, so that a call the bridge makes and the list
  // misses fails a test instead of hiding behind EPERM.
  kTrap,
};

// The descriptors a confined process goes on using besides its standard
// streams. Each call that takes a descriptor in a register is allowed on its
// own ones only, so a descriptor left open by accident, or one the process
// could still come by, is of no use. -1 where there is none.
struct KeptDescriptors {
  int connection = -1;                // recv, sendmsg, shutdown, close
  int poller = -1;                    // the epoll instance: epoll_ctl, epoll_wait, close
  std::array<int, 2> wakers{-1, -1};  // eventfds between threads: read, write, close
};

// Sets no-new-privileges, then installs on every thread a filter that allows
// only the calls of the relay and of the C library under it, some of them
// with their arguments checked; every other call, and every call through
// another architecture's table, meets `refusal`. The list, one call a line
// with its rule, is kAllowedCalls in sandbox.cpp. No thread can be started
// under it: start the ones the process needs first.
//
// Never fails the caller: where the filter can't be had the outcome says
// why and the process runs on unconfined. Call it once.
ConfineOutcome confine_process(const KeptDescriptors& descriptors, Refusal refusal = Refusal::kError);

}  // namespace trellune
