#include "bridge/process_stdio.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/wait_ready.hpp"

namespace trellune {
namespace {

constexpr std::string_view kBufferedWriteZero = "failed to write the buffered data";
constexpr std::string_view kDirectWriteZero = "failed to write whole buffer";

// Writes `data` to `fd` until all of it is out or a write fails, adding the
// bytes that left to `written`. A write that takes nothing is the error
// WriteZero with `write_zero_text`. EINTR means nothing was written, so the
// call is safe to repeat; a non-blocking descriptor that is full (EAGAIN) is
// waited on and written again; a closed descriptor (EBADF) swallows
// everything, as /dev/null would.
IoStatus write_fully(int fd, std::string_view data, std::size_t& written, std::string_view write_zero_text) {
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return IoError::with_static_message(IoErrorKind::WriteZero, write_zero_text);
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(fd, POLLOUT)) continue;
    if (errno == EBADF) {
      written = data.size();
      return {};
    }
    return io_error_from_errno();
  }
  return {};
}

}  // namespace

IoStatus LineBufferedOutput::write_all(std::string_view data) {
  if (unbuffered_) {
    return write_directly(data);
  }
  const std::size_t last_newline = data.rfind('\n');
  if (last_newline == std::string_view::npos) {
    // A completed line still waiting in the buffer leaves before new text.
    if (length_ > 0 && buffer_[length_ - 1] == '\n') {
      if (IoStatus status = write_buffer_out(); !status) return status;
    }
    return store(data);
  }
  const std::string_view head = data.substr(0, last_newline + 1);
  const std::string_view tail = data.substr(last_newline + 1);
  if (length_ == 0) {
    if (IoStatus status = write_directly(head); !status) return status;
  } else {
    if (IoStatus status = store(head); !status) return status;
    if (IoStatus status = write_buffer_out(); !status) return status;
  }
  return store(tail);
}

void LineBufferedOutput::flush_and_unbuffer() {
  (void)write_buffer_out();
  unbuffered_ = true;
}

IoStatus LineBufferedOutput::store(std::string_view data) {
  if (data.size() < free_space()) {
    std::memcpy(buffer_.data() + length_, data.data(), data.size());
    length_ += data.size();
    return {};
  }
  if (data.size() > free_space()) {
    if (IoStatus status = write_buffer_out(); !status) return status;
  }
  if (data.size() >= kCapacity) {
    return write_directly(data);
  }
  std::memcpy(buffer_.data() + length_, data.data(), data.size());
  length_ += data.size();
  return {};
}

IoStatus LineBufferedOutput::write_buffer_out() {
  std::size_t written = 0;
  IoStatus status = write_fully(fd_, {buffer_.data(), length_}, written, kBufferedWriteZero);
  // Whatever was not written stays, at the front, for the next attempt.
  std::memmove(buffer_.data(), buffer_.data() + written, length_ - written);
  length_ -= written;
  return status;
}

IoStatus LineBufferedOutput::write_directly(std::string_view data) {
  std::size_t written = 0;
  return write_fully(fd_, data, written, kDirectWriteZero);
}

ProcessStdout& process_stdout() {
  // Never destroyed: worker jobs and the exit path may use it until the end.
  static ProcessStdout* const instance = new ProcessStdout;
  return *instance;
}

ProcessStdin& process_stdin() {
  static ProcessStdin* const instance = new ProcessStdin;
  return *instance;
}

}  // namespace trellune
