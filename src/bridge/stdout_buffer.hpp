// The line buffer of the process's standard output, written only by the
// standard-output end's worker jobs and the exit path (stdio_ends.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "io_error/io_error.hpp"

namespace trellune {

// A line-buffered writer over one descriptor with a 1024-byte buffer. A
// short line leaves in one write() together with its newline; text of 1024
// bytes or more bypasses the buffer.
class LineBufferedOutput {
 public:
  // The bridge's standard output is buffered in exactly this many bytes: the
  // client sees a reply shorter than 1024 bytes arrive in one write() with
  // its newline, and a longer one in writes of its own followed by a
  // one-byte write of the newline. The size is part of that behaviour, not a
  // tuning knob; most replies of an MCP session are far shorter.
  static constexpr std::size_t kCapacity = 1024;

  explicit LineBufferedOutput(int fd) : fd_(fd) {}

  IoStatus write_all(std::string_view data);
  IoStatus flush() { return write_buffer_out(); }
  // Last flush at exit: failures are ignored, and later writes go straight
  // through.
  void flush_and_unbuffer();
  std::size_t buffered() const { return length_; }

 private:
  IoStatus store(std::string_view data);
  IoStatus write_buffer_out();
  IoStatus write_directly(std::string_view data);
  std::size_t free_space() const { return kCapacity - length_; }

  int fd_;
  bool unbuffered_ = false;
  std::size_t length_ = 0;
  std::array<char, kCapacity> buffer_{};
};

}  // namespace trellune
