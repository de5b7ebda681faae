#include "io_error/io_error.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "base/fatal.hpp"
#include "base/utf8.hpp"

// The XSI-compliant strerror_r. glibc's <string.h> only maps strerror_r to it
// when _GNU_SOURCE is off, which libstdc++ always turns on.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace trellune {
namespace {

constexpr auto kKindNames = std::to_array<std::string_view>({
#define TRELLUNE_KIND_NAME(name, description) #name,
    TRELLUNE_IO_ERROR_KINDS(TRELLUNE_KIND_NAME)
#undef TRELLUNE_KIND_NAME
});

constexpr auto kKindDescriptions = std::to_array<std::string_view>({
#define TRELLUNE_KIND_DESCRIPTION(name, description) description,
    TRELLUNE_IO_ERROR_KINDS(TRELLUNE_KIND_DESCRIPTION)
#undef TRELLUNE_KIND_DESCRIPTION
});

static_assert(kKindNames.size() == kIoErrorKindCount);
static_assert(kKindDescriptions.size() == kIoErrorKindCount);

// X(errno symbol, kind): the kind of every OS error number that has one; any
// other number is Uncategorized. Linux gives EWOULDBLOCK the number of EAGAIN,
// ENOTSUP that of EOPNOTSUPP and EDEADLOCK that of EDEADLK, so each of those
// is listed once, under the first name.
#define TRELLUNE_OS_ERROR_KINDS(X)          \
  X(EPERM, PermissionDenied)                \
  X(ENOENT, NotFound)                       \
  X(EINTR, Interrupted)                     \
  X(E2BIG, ArgumentListTooLong)             \
  X(EAGAIN, WouldBlock)                     \
  X(ENOMEM, OutOfMemory)                    \
  X(EACCES, PermissionDenied)               \
  X(EBUSY, ResourceBusy)                    \
  X(EEXIST, AlreadyExists)                  \
  X(EXDEV, CrossesDevices)                  \
  X(ENOTDIR, NotADirectory)                 \
  X(EISDIR, IsADirectory)                   \
  X(EINVAL, InvalidInput)                   \
  X(ETXTBSY, ExecutableFileBusy)            \
  X(EFBIG, FileTooLarge)                    \
  X(ENOSPC, StorageFull)                    \
  X(ESPIPE, NotSeekable)                    \
  X(EROFS, ReadOnlyFilesystem)              \
  X(EMLINK, TooManyLinks)                   \
  X(EPIPE, BrokenPipe)                      \
  X(EDEADLK, Deadlock)                      \
  X(ENAMETOOLONG, InvalidFilename)          \
  X(ENOSYS, Unsupported)                    \
  X(ENOTEMPTY, DirectoryNotEmpty)           \
  X(ELOOP, FilesystemLoop)                  \
  X(EOPNOTSUPP, Unsupported)                \
  X(EADDRINUSE, AddrInUse)                  \
  X(EADDRNOTAVAIL, AddrNotAvailable)        \
  X(ENETDOWN, NetworkDown)                  \
  X(ENETUNREACH, NetworkUnreachable)        \
  X(ECONNABORTED, ConnectionAborted)        \
  X(ECONNRESET, ConnectionReset)            \
  X(ENOTCONN, NotConnected)                 \
  X(ETIMEDOUT, TimedOut)                    \
  X(ECONNREFUSED, ConnectionRefused)        \
  X(EHOSTUNREACH, HostUnreachable)          \
  X(EINPROGRESS, InProgress)                \
  X(ESTALE, StaleNetworkFileHandle)         \
  X(EDQUOT, QuotaExceeded)

std::size_t kind_index(IoErrorKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  TRELLUNE_CHECK(index < kKindNames.size());
  return index;
}

// "-2147483648" is the longest.
bool append_decimal(TextSink& sink, int value) {
  char buffer[12];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return sink.append({buffer, static_cast<std::size_t>(end - buffer)});
}

bool append_kind_field(TextSink& sink, IoErrorKind kind) {
  return sink.append("kind: ") && sink.append(io_error_kind_name(kind));
}

}  // namespace

std::string_view io_error_kind_name(IoErrorKind kind) { return kKindNames[kind_index(kind)]; }

std::string_view io_error_kind_description(IoErrorKind kind) { return kKindDescriptions[kind_index(kind)]; }

IoErrorKind io_error_kind_from_os_code(int code) {
  using enum IoErrorKind;
  switch (code) {
#define TRELLUNE_OS_ERROR_CASE(symbol, kind) \
  case symbol:                               \
    return kind;
    TRELLUNE_OS_ERROR_KINDS(TRELLUNE_OS_ERROR_CASE)
#undef TRELLUNE_OS_ERROR_CASE
    default:
      return Uncategorized;
  }
}

IoError IoError::with_static_message(IoErrorKind kind, std::string_view text) {
  IoError error(Form::StaticMessage, kind, 0);
  error.static_text_ = text;
  return error;
}

IoError IoError::with_custom_message(IoErrorKind kind, std::string_view text) {
  IoError error(Form::Custom, kind, 0);
  error.custom_text_ = std::make_unique<std::string>(text);
  return error;
}

IoErrorKind IoError::kind() const {
  return form_ == Form::Os ? io_error_kind_from_os_code(code_) : kind_;
}

std::string_view IoError::message() const {
  switch (form_) {
    case Form::StaticMessage:
      return static_text_;
    case Form::Custom:
      // A moved-from custom error has no payload left.
      return custom_text_ ? std::string_view(*custom_text_) : std::string_view();
    case Form::Os:
    case Form::Bare:
      break;
  }
  return {};
}

bool IoError::render_debug(TextSink& sink) const {
  switch (form_) {
    case Form::Os: {
      const std::string text = os_error_message(code_);
      return sink.append("Os { code: ") && append_decimal(sink, code_) && sink.append(", ") &&
             append_kind_field(sink, kind()) && sink.append(", message: ") && write_quoted(sink, text) &&
             sink.append(" }");
    }
    case Form::Bare:
      return sink.append("Kind(") && sink.append(io_error_kind_name(kind_)) && sink.append(")");
    case Form::StaticMessage:
      return sink.append("Error { ") && append_kind_field(sink, kind_) && sink.append(", message: ") &&
             write_quoted(sink, message()) && sink.append(" }");
    case Form::Custom:
      return sink.append("Custom { ") && append_kind_field(sink, kind_) && sink.append(", error: ") &&
             write_quoted(sink, message()) && sink.append(" }");
  }
  TRELLUNE_FATAL("IoError with an unknown form");
}

bool IoError::render_display(TextSink& sink) const {
  switch (form_) {
    case Form::Os: {
      const std::string text = os_error_message(code_);
      return sink.append(text) && sink.append(" (os error ") && append_decimal(sink, code_) && sink.append(")");
    }
    case Form::Bare:
      return sink.append(io_error_kind_description(kind_));
    case Form::StaticMessage:
    case Form::Custom:
      return sink.append(message());
  }
  TRELLUNE_FATAL("IoError with an unknown form");
}

std::string IoError::debug_string() const {
  StringSink sink;
  (void)render_debug(sink);
  return sink.text();
}

std::string IoError::display_string() const {
  StringSink sink;
  (void)render_display(sink);
  return sink.text();
}

IoError io_error_from_errno() { return IoError::from_os_code(errno); }

std::string os_error_message(int code) {
  // glibc's longest message is well under 128 bytes; a longer one would be
  // cut short, and the library still ends it with a NUL.
  char buffer[128] = {};
  if (__xpg_strerror_r(code, buffer, sizeof buffer) < 0) {
    TRELLUNE_FATAL("strerror_r failure");
  }
  // A positive result (no text for the number, or the buffer too small) is
  // not a failure: the buffer holds the library's best text.
  const auto* end = static_cast<const char*>(std::memchr(buffer, '\0', sizeof buffer));
  const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - buffer) : sizeof buffer;
  return replace_invalid_utf8({buffer, length});
}

}  // namespace trellune
