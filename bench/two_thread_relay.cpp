// The floor of the bridge's thread structure: the standard streams read and
// written with blocking calls on a worker thread, the socket on the main
// thread, which sleeps in epoll_wait. The hand-overs are the plainest there
// are: the worker writes an eventfd that the main thread's epoll watches, and
// the main thread wakes the worker through a futex (called directly, since
// std::atomic::wait spins and yields first). No spinning, no wake hints, no
// JSON, no token. What the bridge costs beyond this relay is its own; what
// this relay costs beyond plain_relay is the structure's.
//
// With TRELLUNE_MCP_TOKEN set it also does the bridge's own work on the main
// thread, by the product's functions: both lines checked as UTF-8, blank
// requests told apart, objects stamped and re-serialized. That is the floor
// of any bridge with this structure: what the bridge costs beyond it is its
// machinery of channels, jobs and hand-overs.
#include <linux/futex.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/utf8.hpp"
#include "bin/trellune-mcp/relay_loop.hpp"
#include "line_io.hpp"

namespace {

using trellune::bench::LineSource;
using trellune::bench::write_all;

// One line at a time in each direction, so each is a single slot.
struct Mailbox {
  int wake_main = -1;  // eventfd
  std::string request;
  std::atomic<bool> request_ready{false};
  bool input_ended = false;  // published by request_ready
  std::string reply;
  std::atomic<std::uint32_t> replies{0};
};

// The line the bridge would send for `request` (newline included), into
// `outgoing`; false where the bridge would stop on a line that is not UTF-8.
// A blank line is sent as it is, so that the application still answers.
bool prepare_request(std::string_view request, std::string_view token, std::string& outgoing) {
  std::string_view line = request.substr(0, request.size() - 1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (!trellune::is_valid_utf8(line)) return false;
  outgoing.assign(line);
  if (!trellune::is_blank_line(line)) (void)trellune::stamp_object_request(outgoing, token);
  outgoing.push_back('\n');
  return true;
}

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void worker(Mailbox& box) {
  LineSource requests(0);
  std::uint32_t seen = 0;
  for (;;) {
    box.input_ended = !requests.read_line(box.request);
    box.request_ready.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    if (::write(box.wake_main, &one, sizeof one) != sizeof one) std::abort();
    if (box.input_ended) return;
    while (box.replies.load(std::memory_order_acquire) == seen) futex_wait(box.replies, seen);
    ++seen;
    if (box.reply.empty()) return;  // the application closed
    if (!write_all(1, box.reply)) return;
  }
}

// Sleeps in epoll_wait until `fd` has an event. Only one of the two can have
// one at a time: the application speaks only when asked, and the worker waits
// for each reply. An event on the other (the application's end, for one)
// stops the relay loudly: level-triggered, it would otherwise spin.
void wait_for(int epoll_fd, int fd) {
  for (;;) {
    epoll_event event{};
    if (::epoll_wait(epoll_fd, &event, 1, -1) != 1) continue;  // a signal
    if (event.data.fd != fd) std::abort();
    return;
  }
}

}  // namespace

int main() {
  const int fd = trellune::bench::connect_to_application("two_thread_relay");
  if (fd < 0) return -fd;

  Mailbox box;
  box.wake_main = ::eventfd(0, EFD_CLOEXEC);
  const int epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  for (const int watched : {fd, box.wake_main}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = watched;
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, watched, &event) != 0) std::abort();
  }
  std::thread standard_streams(worker, std::ref(box));

  const char* token = std::getenv("TRELLUNE_MCP_TOKEN");
  std::string outgoing;
  LineSource replies(fd);
  for (;;) {
    wait_for(epoll_fd, box.wake_main);
    std::uint64_t count = 0;
    if (::read(box.wake_main, &count, sizeof count) != sizeof count) std::abort();
    if (!box.request_ready.exchange(false, std::memory_order_acquire)) std::abort();
    if (box.input_ended) break;
    if (token != nullptr && !prepare_request(box.request, token, outgoing)) break;
    if (!write_all(fd, token != nullptr ? outgoing : box.request)) break;
    wait_for(epoll_fd, fd);
    // A reply the bridge would refuse ends the relay as the application's end does.
    const bool got = replies.read_line(box.reply) && (token == nullptr || trellune::is_valid_utf8(box.reply));
    if (!got) box.reply.clear();
    box.replies.fetch_add(1, std::memory_order_release);
    futex_wake(box.replies);
    if (!got) break;
  }
  standard_streams.join();
  ::close(fd);
  return 0;
}
