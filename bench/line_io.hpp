// Blocking line I/O shared by the end-to-end benchmark and its plain relay.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace trellune::bench {

// Reads newline-terminated lines from one descriptor, newline included.
class LineSource {
 public:
  explicit LineSource(int fd) : fd_(fd) {}

  // False at the end of the stream or on an error.
  bool read_line(std::string& line) {
    for (;;) {
      const std::size_t newline = buffer_.find('\n', scanned_);
      if (newline != std::string::npos) {
        line.assign(buffer_, 0, newline + 1);
        buffer_.erase(0, newline + 1);
        scanned_ = 0;
        return true;
      }
      scanned_ = buffer_.size();
      char chunk[65536];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buffer_;
  std::size_t scanned_ = 0;
};

inline bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace trellune::bench
