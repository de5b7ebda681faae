// io_error: the single error value of all input and output, its closed list
// of kinds, and its two renderings (debug for the "Error: " line, display for
// fatal reports), with the quoting they use. Also the value-or-error result
// type every fallible operation returns. Uses base and the C library.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace trellune {

// X(name, description), in value order 0..41. The enum, its count and both
// texts come from this one list so they cannot drift apart.
#define TRELLUNE_IO_ERROR_KINDS(X)                                                   \
  X(NotFound, "entity not found")                                                    \
  X(PermissionDenied, "permission denied")                                           \
  X(ConnectionRefused, "connection refused")                                         \
  X(ConnectionReset, "connection reset")                                             \
  X(HostUnreachable, "host unreachable")                                             \
  X(NetworkUnreachable, "network unreachable")                                       \
  X(ConnectionAborted, "connection aborted")                                         \
  X(NotConnected, "not connected")                                                   \
  X(AddrInUse, "address in use")                                                     \
  X(AddrNotAvailable, "address not available")                                       \
  X(NetworkDown, "network down")                                                     \
  X(BrokenPipe, "broken pipe")                                                       \
  X(AlreadyExists, "entity already exists")                                          \
  X(WouldBlock, "operation would block")                                             \
  X(NotADirectory, "not a directory")                                                \
  X(IsADirectory, "is a directory")                                                  \
  X(DirectoryNotEmpty, "directory not empty")                                        \
  X(ReadOnlyFilesystem, "read-only filesystem or storage medium")                    \
  X(FilesystemLoop, "filesystem loop or indirection limit (e.g. symlink loop)")      \
  X(StaleNetworkFileHandle, "stale network file handle")                             \
  X(InvalidInput, "invalid input parameter")                                         \
  X(InvalidData, "invalid data")                                                     \
  X(TimedOut, "timed out")                                                           \
  X(WriteZero, "write zero")                                                         \
  X(StorageFull, "no storage space")                                                 \
  X(NotSeekable, "seek on unseekable file")                                          \
  X(QuotaExceeded, "quota exceeded")                                                 \
  X(FileTooLarge, "file too large")                                                  \
  X(ResourceBusy, "resource busy")                                                   \
  X(ExecutableFileBusy, "executable file busy")                                      \
  X(Deadlock, "deadlock")                                                            \
  X(CrossesDevices, "cross-device link or rename")                                   \
  X(TooManyLinks, "too many links")                                                  \
  X(InvalidFilename, "invalid filename")                                             \
  X(ArgumentListTooLong, "argument list too long")                                   \
  X(Interrupted, "operation interrupted")                                            \
  X(Unsupported, "unsupported")                                                      \
  X(UnexpectedEof, "unexpected end of file")                                         \
  X(OutOfMemory, "out of memory")                                                    \
  X(InProgress, "in progress")                                                       \
  X(Other, "other error")                                                            \
  X(Uncategorized, "uncategorized error")

enum class IoErrorKind : std::uint8_t {
#define TRELLUNE_KIND_ENUMERATOR(name, description) name,
  TRELLUNE_IO_ERROR_KINDS(TRELLUNE_KIND_ENUMERATOR)
#undef TRELLUNE_KIND_ENUMERATOR
};

inline constexpr int kIoErrorKindCount = 0
#define TRELLUNE_KIND_ONE(name, description) +1
    TRELLUNE_IO_ERROR_KINDS(TRELLUNE_KIND_ONE)
#undef TRELLUNE_KIND_ONE
    ;

std::string_view io_error_kind_name(IoErrorKind kind);
std::string_view io_error_kind_description(IoErrorKind kind);

// The kind of an OS error number (Linux x86-64 numbering); every number not in
// the table, including 0 and negative numbers, is Uncategorized.
IoErrorKind io_error_kind_from_os_code(int code);

// Where the renderings write. append() returns false when the sink has failed;
// a rendering then stops at once and reports false to its caller.
class TextSink {
 public:
  virtual bool append(std::string_view text) = 0;

 protected:
  ~TextSink() = default;
};

class StringSink final : public TextSink {
 public:
  bool append(std::string_view text) override {
    text_.append(text);
    return true;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// One of four forms: an OS error number, a bare kind, a kind with a text that
// lives for the whole run, or a kind with an owned copy of a text.
class [[nodiscard]] IoError {
 public:
  enum class Form : std::uint8_t { Os, Bare, StaticMessage, Custom };

  static IoError from_os_code(int code) { return IoError(Form::Os, IoErrorKind::Uncategorized, code); }
  explicit IoError(IoErrorKind kind) : IoError(Form::Bare, kind, 0) {}
  // `text` must outlive the program (a literal).
  static IoError with_static_message(IoErrorKind kind, std::string_view text);
  // Copies `text` into an owned payload.
  static IoError with_custom_message(IoErrorKind kind, std::string_view text);

  IoError(IoError&&) noexcept = default;
  IoError& operator=(IoError&&) noexcept = default;
  IoError(const IoError&) = delete;
  IoError& operator=(const IoError&) = delete;
  ~IoError() = default;

  Form form() const { return form_; }
  IoErrorKind kind() const;
  // The OS error number; meaningful only for Form::Os.
  int os_code() const { return code_; }
  // The static or custom text; empty for the other forms.
  std::string_view message() const;

  // `Os { code: 111, kind: ConnectionRefused, message: "Connection refused" }`,
  // `Kind(WriteZero)`, `Error { kind: .., message: ".." }`,
  // `Custom { kind: .., error: ".." }`.
  bool render_debug(TextSink& sink) const;
  // `Connection refused (os error 111)`, the kind's description, or the text.
  bool render_display(TextSink& sink) const;

  std::string debug_string() const;
  std::string display_string() const;

 private:
  IoError(Form form, IoErrorKind kind, int code) : form_(form), kind_(kind), code_(code) {}

  Form form_;
  IoErrorKind kind_;
  int code_ = 0;
  std::string_view static_text_;
  std::unique_ptr<std::string> custom_text_;
};

// An OS error from the current value of errno; call right after the failed call.
IoError io_error_from_errno();

// Appends `text` quoted: printable characters as themselves, \" \\ \0 \t \n \r,
// and \u{hex} for other controls, grapheme extenders and non-printables.
bool write_quoted(TextSink& sink, std::string_view text);

// The C library's message for an OS error number, with every maximal invalid
// UTF-8 sequence replaced by U+FFFD.
std::string os_error_message(int code);

// A value or an IoError. Kept deliberately small: the product has no
// exceptions, so this is how every fallible operation reports.
template <class T>
class [[nodiscard]] IoResult {
 public:
  IoResult(T value) : has_value_(true) { new (&value_) T(std::move(value)); }
  IoResult(IoError error) : has_value_(false) { new (&error_) IoError(std::move(error)); }
  IoResult(IoResult&& other) noexcept : has_value_(other.has_value_) {
    if (has_value_) {
      new (&value_) T(std::move(other.value_));
    } else {
      new (&error_) IoError(std::move(other.error_));
    }
  }
  IoResult& operator=(IoResult&& other) noexcept {
    if (this != &other) {
      destroy();
      has_value_ = other.has_value_;
      if (has_value_) {
        new (&value_) T(std::move(other.value_));
      } else {
        new (&error_) IoError(std::move(other.error_));
      }
    }
    return *this;
  }
  ~IoResult() { destroy(); }

  bool has_value() const { return has_value_; }
  explicit operator bool() const { return has_value_; }

  T& value() & { return value_; }
  const T& value() const& { return value_; }
  T&& value() && { return std::move(value_); }
  T& operator*() & { return value_; }
  T&& operator*() && { return std::move(value_); }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }

  IoError& error() & { return error_; }
  const IoError& error() const& { return error_; }
  IoError&& error() && { return std::move(error_); }

 private:
  void destroy() {
    if (has_value_) {
      value_.~T();
    } else {
      error_.~IoError();
    }
  }

  bool has_value_;
  union {
    T value_;
    IoError error_;
  };
};

// Success or an IoError.
template <>
class [[nodiscard]] IoResult<void> {
 public:
  IoResult() = default;
  IoResult(IoError error) : error_(std::move(error)) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return !error_.has_value(); }

  IoError& error() & { return *error_; }
  const IoError& error() const& { return *error_; }
  IoError&& error() && { return std::move(*error_); }

 private:
  std::optional<IoError> error_;
};

using IoStatus = IoResult<void>;

}  // namespace trellune
