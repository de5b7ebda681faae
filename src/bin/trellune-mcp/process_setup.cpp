#include "bin/trellune-mcp/process_setup.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "base/fatal.hpp"

namespace trellune {
namespace {

constexpr int kStandardDescriptorCount = 3;

// Allocations up to this size come from the heap rather than from mappings of
// their own.
constexpr int kLargestHeapAllocation = 4 * 1024 * 1024;
// Freed memory at the top of the heap beyond this is given back to the system.
constexpr int kRetainedHeapTop = 16 * 1024 * 1024;

// Reopens each missing descriptor on /dev/null. open() and dup() return the
// lowest free number, and the missing ones are filled in ascending order, so
// each replacement lands on the number that was missing.
void reopen_missing(const std::array<bool, kStandardDescriptorCount>& missing) {
  int dev_null = -1;
  for (int fd = 0; fd < kStandardDescriptorCount; ++fd) {
    if (!missing[static_cast<std::size_t>(fd)]) {
      continue;
    }
    int replacement = dev_null >= 0 ? ::dup(dev_null) : -1;
    if (replacement < 0) {
      replacement = ::open("/dev/null", O_RDWR);
      if (replacement < 0) {
        std::abort();
      }
      dev_null = replacement;
    }
  }
}

}  // namespace

void ensure_standard_descriptors() {
  std::array<pollfd, kStandardDescriptorCount> fds{};
  for (int fd = 0; fd < kStandardDescriptorCount; ++fd) {
    fds[static_cast<std::size_t>(fd)] = pollfd{fd, 0, 0};
  }
  int result = 0;
  do {
    result = ::poll(fds.data(), fds.size(), 0);
  } while (result < 0 && errno == EINTR);

  std::array<bool, kStandardDescriptorCount> missing{};
  if (result >= 0) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      missing[i] = (fds[i].revents & POLLNVAL) != 0;
    }
  } else if (errno == EAGAIN || errno == ENOMEM || errno == EINVAL) {
    // poll itself could not run; ask each descriptor directly.
    for (int fd = 0; fd < kStandardDescriptorCount; ++fd) {
      missing[static_cast<std::size_t>(fd)] = ::fcntl(fd, F_GETFD) < 0 && errno == EBADF;
    }
  } else {
    std::abort();
  }
  reopen_missing(missing);
}

void ignore_broken_pipe_signal() {
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    (void)write_all_to_stderr("trellune-mcp: fatal runtime error: cannot ignore SIGPIPE\n");
    std::abort();
  }
}

void keep_large_buffers_in_the_heap() {
  // Tuning only: an allocator without these options (a sanitizer's) keeps
  // its own ways, and the bridge works the same.
  (void)mallopt(M_MMAP_THRESHOLD, kLargestHeapAllocation);
  (void)mallopt(M_TRIM_THRESHOLD, kRetainedHeapTop);
}

}  // namespace trellune
