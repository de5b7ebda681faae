#include "bridge/stdout_buffer.hpp"

#include <string.h>

#include <cstring>

#include "base/write_fully.hpp"

namespace trellune {
namespace {

constexpr std::string_view kBufferedWriteZero = "failed to write the buffered data";
constexpr std::string_view kDirectWriteZero = "failed to write whole buffer";

// A write_fully's outcome as a status; `write_zero_text` says what a write
// that took nothing failed to write.
IoStatus written_or_error(const WriteOutcome& outcome, std::string_view write_zero_text) {
  if (outcome.wrote_zero) return IoError::with_static_message(IoErrorKind::WriteZero, write_zero_text);
  if (outcome.error != 0) return IoError::from_os_code(outcome.error);
  return {};
}

}  // namespace

IoStatus LineBufferedOutput::write_all(std::string_view data) {
  if (unbuffered_) {
    return write_directly(data);
  }
  // memrchr, not rfind: libstdc++'s rfind steps back a byte at a time, which
  // cost more than every other step of a large reply together.
  const void* found = data.empty() ? nullptr : ::memrchr(data.data(), '\n', data.size());
  if (found == nullptr) {
    // A completed line still waiting in the buffer leaves before new text.
    if (length_ > 0 && buffer_[length_ - 1] == '\n') {
      if (IoStatus status = write_buffer_out(); !status) return status;
    }
    return store(data);
  }
  const auto last_newline = static_cast<std::size_t>(static_cast<const char*>(found) - data.data());
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
  const WriteOutcome outcome = write_fully(fd_, {buffer_.data(), length_});
  // Whatever was not written stays, at the front, for the next attempt.
  std::memmove(buffer_.data(), buffer_.data() + outcome.written, length_ - outcome.written);
  length_ -= outcome.written;
  return written_or_error(outcome, kBufferedWriteZero);
}

IoStatus LineBufferedOutput::write_directly(std::string_view data) {
  return written_or_error(write_fully(fd_, data), kDirectWriteZero);
}

}  // namespace trellune
