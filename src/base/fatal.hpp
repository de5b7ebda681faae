// base: what every other library stands on. Fatal reports and invariant
// checks (here), the replaced global operator new, UTF-8 checking and
// decoding (utf8.hpp), the Unicode classes that quoting needs, with their
// generated tables (unicode_class.hpp), which sanitizers are compiled in (sanitizers.hpp),
// the wait that lets blocking code use a non-blocking descriptor
// (wait_ready.hpp) and the write loop built on it (write_fully.hpp), and the
// sole owner of a descriptor (unique_fd.hpp). Uses the C++ standard library
// and the C library only.
//
// Fatal internal errors: a broken invariant or a failure that leaves nothing
// sensible to do. The report goes to standard error and the process aborts
// with SIGABRT, without unwinding or flushing anything.
#pragma once

#include <cstddef>
#include <string_view>

namespace trellune {

// Writes "\n" + a line naming the thread and `file:line` + `message` on its
// own line, then aborts. A second fatal error raised while the first is being
// reported aborts at once.
[[noreturn]] void fatal_error_at(const char* file, int line, std::string_view message);

// The fatal report "memory allocation of `bytes` bytes failed", for memory
// that the program takes from malloc itself.
[[noreturn]] void fatal_allocation_failure(std::size_t bytes);

// Writes all of `text` to descriptor 2 with plain write() calls, repeating on
// EINTR and waiting out EAGAIN; safe inside a failed allocation. A closed
// descriptor (EBADF) counts as written. Returns false on any other failure.
// The fatal report and the exit path's diagnostics both go out this way.
bool write_all_to_stderr(std::string_view text);

// The name fatal reports give the calling thread. The main thread is "main"
// without being told; other threads should name themselves when they start.
void set_current_thread_name(std::string_view name);
std::string_view current_thread_name();

}  // namespace trellune

#define TRELLUNE_FATAL(message) ::trellune::fatal_error_at(__FILE__, __LINE__, (message))

// A broken invariant is a fatal report, never a quiet return.
#define TRELLUNE_CHECK(condition)                                          \
  do {                                                                     \
    if (!(condition)) [[unlikely]] {                                       \
      TRELLUNE_FATAL("internal invariant failed: " #condition);            \
    }                                                                      \
  } while (false)
