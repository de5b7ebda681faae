// Answers, from a signal handler, the system call that raised the signal:
// when the handler returns, the call returns `result` as if the kernel had.
// For SIGSYS from a trapping seccomp filter, and for the SIGILL that some
// kernels raise for a call number they don't know; both leave the thread
// just after the call.
#pragma once

#include <ucontext.h>

namespace trellune::testing {

inline void answer_system_call(void* signal_context, long result) {
  auto* registers = &static_cast<ucontext_t*>(signal_context)->uc_mcontext;
#if defined(__x86_64__)
  registers->gregs[REG_RAX] = result;
#elif defined(__aarch64__)
  registers->regs[0] = static_cast<unsigned long long>(result);
#else
#error "no register for a system call's result on this architecture"
#endif
}

}  // namespace trellune::testing
