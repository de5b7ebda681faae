#include "bin/trellune-mcp/process_setup.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/fatal.hpp"

namespace trellune {
namespace {

constexpr int kStandardDescriptorCount = 3;

// Where neither close_range nor /proc can say which descriptors are open,
// every number below the limit is closed, up to this many: a limit of a
// billion would otherwise take minutes. Whatever lies beyond is still of no
// use under the sandbox, which lets no call touch a descriptor not its own.
constexpr rlim_t kMostNumbersClosedBlindly = 1 << 20;

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

// The open descriptors above 2, as /proc/self/fd lists them (without the
// listing's own); false where /proc can't be read.
bool list_open_descriptors(std::vector<int>& open) {
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return false;
  const int own = ::dirfd(listing);
  while (const dirent* entry = ::readdir(listing)) {
    int fd = -1;
    const char* end = entry->d_name + std::strlen(entry->d_name);
    if (std::from_chars(entry->d_name, end, fd).ptr == end && fd >= kStandardDescriptorCount && fd != own) {
      open.push_back(fd);
    }
  }
  ::closedir(listing);
  return true;
}

}  // namespace

void end_with_parent() {
  const pid_t parent = ::getppid();
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return;
  // The parent ended before the request was made: no signal will come.
  if (::getppid() != parent) ::kill(::getpid(), SIGKILL);
}

void close_inherited_descriptors() {
  if (::syscall(SYS_close_range, kStandardDescriptorCount, ~0U, 0) == 0) return;
  close_descriptors_one_by_one();
}

void close_descriptors_one_by_one() {
  std::vector<int> open;
  if (list_open_descriptors(open)) {
    for (const int fd : open) ::close(fd);
    return;
  }
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = kMostNumbersClosedBlindly;
  const rlim_t end = std::min(limit.rlim_cur, kMostNumbersClosedBlindly);
  for (rlim_t fd = kStandardDescriptorCount; fd < end; ++fd) ::close(static_cast<int>(fd));
}

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
