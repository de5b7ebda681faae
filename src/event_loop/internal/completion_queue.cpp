#include "event_loop/internal/completion_queue.hpp"

#include <unistd.h>

#include <cstdint>

namespace trellune::event_loop_internal {

// Setting `sleeping_` in prepare_sleep and the push below are a Dekker
// pair: both are sequentially consistent, so either the loop sees the pushed
// job before it blocks, or the pusher sees `sleeping_` set and writes the
// eventfd. A wake-up can be spurious (the loop had already seen the job); it
// is never lost.
void CompletionQueue::push(Job* job) {
  Job* head = head_.load(std::memory_order_relaxed);
  do {
    job->next_ = head;
  } while (!head_.compare_exchange_weak(head, job, std::memory_order_seq_cst, std::memory_order_relaxed));

  if (sleeping_.load(std::memory_order_seq_cst) && sleeping_.exchange(false, std::memory_order_seq_cst)) {
    const std::uint64_t one = 1;
    // Cannot block (EFD_NONBLOCK) and cannot fail short of a counter
    // overflow, which one write per sleep never approaches.
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_.get(), &one, sizeof one);
  }
}

Job* CompletionQueue::take_all() {
  Job* stack = head_.exchange(nullptr, std::memory_order_acquire);
  // The stack is newest first; reverse it so jobs complete in finishing order.
  Job* oldest_first = nullptr;
  while (stack != nullptr) {
    Job* next = stack->next_;
    stack->next_ = oldest_first;
    oldest_first = stack;
    stack = next;
  }
  return oldest_first;
}

bool CompletionQueue::prepare_sleep() {
  // An exchange, though a store would do for the language and for x86 and
  // aarch64 hardware: a translator of aarch64 code to x86, such as qemu-user,
  // may let a plain store wait in the store buffer past the load below, so
  // that both sides miss each other and the loop sleeps on a pushed job for
  // good (caught as a hang of the pool tests under qemu, with the job pushed
  // and `sleeping_` set). Such a translator carries an exchange out as a
  // locked instruction of the host, which the load cannot pass; on x86
  // hardware the store compiles to that same instruction.
  sleeping_.exchange(true, std::memory_order_seq_cst);
  if (head_.load(std::memory_order_seq_cst) != nullptr) {
    sleeping_.store(false, std::memory_order_seq_cst);
    return false;
  }
  return true;
}

void CompletionQueue::drain_wakeups() {
  std::uint64_t count = 0;
  // EAGAIN (already drained) is the only expected failure and means the same.
  [[maybe_unused]] const ssize_t got = ::read(wake_fd_.get(), &count, sizeof count);
}

}  // namespace trellune::event_loop_internal
