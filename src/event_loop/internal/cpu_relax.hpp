#pragma once

namespace trellune::event_loop_internal {

// One step of a busy-wait. On x86 `pause` tells the core that this is a spin
// loop: it yields pipeline resources to the sibling hyper-thread and avoids the
// memory-order mis-speculation penalty when the awaited store lands.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  __asm__ __volatile__("" ::: "memory");
#endif
}

}  // namespace trellune::event_loop_internal
