// The fatal report, and the replacement of the global allocation functions so
// that exhausted memory ends in the same report. This file is always linked:
// every library of the program calls fatal_error_at, and the replaced
// operator new (outside AddressSanitizer builds) is itself a reason for the
// linker to take this object out of the library.
#include "base/fatal.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/fatal_internal.hpp"
#include "base/sanitizers.hpp"
#include "base/write_fully.hpp"

// Under AddressSanitizer the sanitizer's own allocation functions stay in
// place: they catch new/delete mismatches that a malloc-based replacement
// would hide, and they report exhausted memory themselves.
#define TRELLUNE_REPLACE_OPERATOR_NEW (!TRELLUNE_ADDRESS_SANITIZER)

namespace trellune {
namespace {

struct ThreadName {
  char bytes[kThreadNameCapacity];
  std::size_t size;
  bool is_set;
};

// Trivial and constant-initialized, so reading it never runs code or
// allocates, even from inside a failed allocation.
constinit thread_local ThreadName t_thread_name{};

constinit std::atomic<bool> g_reporting{false};

// Gathers the report in a fixed buffer on the stack so that it usually goes
// out in one write and never touches the heap.
class ReportWriter {
 public:
  void append(std::string_view text) {
    if (text.size() > sizeof buffer_ - size_) {
      flush();
      if (text.size() > sizeof buffer_) {
        if (!failed_) failed_ = !write_all_to_stderr(text);
        return;
      }
    }
    std::memcpy(buffer_ + size_, text.data(), text.size());
    size_ += text.size();
  }

  void append_decimal(unsigned long long value) {
    char digits[20];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append({digits, static_cast<std::size_t>(end - digits)});
  }

  void flush() {
    if (!failed_) failed_ = !write_all_to_stderr({buffer_, size_});
    size_ = 0;
  }

 private:
  char buffer_[1024];
  std::size_t size_ = 0;
  bool failed_ = false;
};

#if TRELLUNE_REPLACE_OPERATOR_NEW

// The standard behaviour of the allocation functions without exceptions: a
// new_handler, if one is installed, gets the chance to free memory and the
// allocation is retried; otherwise the failure is the caller's to handle.
void* allocate_or_null(std::size_t size) {
  if (size == 0) size = 1;
  for (;;) {
    if (void* memory = std::malloc(size)) return memory;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    handler();
  }
}

void* allocate_aligned_or_null(std::size_t size, std::align_val_t alignment) {
  if (size == 0) size = 1;
  // posix_memalign wants a multiple of sizeof(void*).
  const std::size_t align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
  for (;;) {
    void* memory = nullptr;
    if (::posix_memalign(&memory, align, size) == 0) return memory;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    handler();
  }
}

void* allocate(std::size_t size) {
  void* memory = allocate_or_null(size);
  if (memory == nullptr) fatal_allocation_failure(size);
  return memory;
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
  void* memory = allocate_aligned_or_null(size, alignment);
  if (memory == nullptr) fatal_allocation_failure(size);
  return memory;
}

#endif  // TRELLUNE_REPLACE_OPERATOR_NEW

}  // namespace

bool write_all_to_stderr(std::string_view text) { return write_fully(STDERR_FILENO, text).ok(); }

std::string_view repository_relative_path(std::string_view file) {
  const std::size_t src = file.rfind("/src/");
  const std::size_t tests = file.rfind("/tests/");
  std::size_t slash = std::string_view::npos;
  if (src != std::string_view::npos) slash = src;
  if (tests != std::string_view::npos && (slash == std::string_view::npos || tests > slash)) slash = tests;
  return slash == std::string_view::npos ? file : file.substr(slash + 1);
}

void set_current_thread_name(std::string_view name) {
  std::size_t size = std::min(name.size(), kThreadNameCapacity);
  // Never cut a UTF-8 sequence in two: back up to the start of the one cut.
  if (size < name.size()) {
    while (size > 0 && (static_cast<unsigned char>(name[size]) & 0xC0) == 0x80) --size;
  }
  std::memcpy(t_thread_name.bytes, name.data(), size);
  t_thread_name.size = size;
  t_thread_name.is_set = true;
}

std::string_view current_thread_name() {
  if (t_thread_name.is_set) return {t_thread_name.bytes, t_thread_name.size};
  // The main thread's id is the process id; this also holds in a forked
  // child for the thread that forked.
  return ::gettid() == ::getpid() ? "main" : "unnamed";
}

[[noreturn]] void fatal_allocation_failure(std::size_t bytes) {
  // "memory allocation of 18446744073709551615 bytes failed" fits.
  char text[64];
  constexpr std::string_view kPrefix = "memory allocation of ";
  constexpr std::string_view kSuffix = " bytes failed";
  char* out = std::copy(kPrefix.begin(), kPrefix.end(), text);
  out = std::to_chars(out, text + sizeof text, bytes).ptr;
  out = std::copy(kSuffix.begin(), kSuffix.end(), out);
  fatal_error_at(__FILE__, __LINE__, {text, static_cast<std::size_t>(out - text)});
}

[[noreturn]] void fatal_error_at(const char* file, int line, std::string_view message) {
  // Whatever fails while the report is written (the report itself cannot
  // allocate, but a signal handler or another thread might) ends the process
  // here instead of reporting again or looping.
  if (g_reporting.exchange(true)) std::abort();

  ReportWriter report;
  report.append("\ntrellune-mcp: fatal error in thread '");
  report.append(current_thread_name());
  report.append("' at ");
  report.append(repository_relative_path(file != nullptr ? file : "<unknown>"));
  report.append(":");
  if (line < 0) {
    report.append("-");
    report.append_decimal(0ULL - static_cast<unsigned long long>(line));
  } else {
    report.append_decimal(static_cast<unsigned long long>(line));
  }
  report.append(":\n");
  report.append(message);
  report.append("\n");
  report.flush();
  // abort() neither unwinds nor flushes stdio buffers (glibc 2.27 and later).
  std::abort();
}

}  // namespace trellune

#if TRELLUNE_REPLACE_OPERATOR_NEW

// The global allocation functions. A failure of the throwing forms is fatal;
// the nothrow forms still return nullptr because their callers asked to
// handle it.

void* operator new(std::size_t size) { return trellune::allocate(size); }
void* operator new[](std::size_t size) { return trellune::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return trellune::allocate_or_null(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return trellune::allocate_or_null(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return trellune::allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return trellune::allocate_aligned(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return trellune::allocate_aligned_or_null(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return trellune::allocate_aligned_or_null(size, alignment);
}

// malloc and posix_memalign memory is released by free alike.
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

#endif  // TRELLUNE_REPLACE_OPERATOR_NEW
