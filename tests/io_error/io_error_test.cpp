#include "io_error/io_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <set>
#include <string>
#include <string_view>

#include "base/fatal.hpp"
#include "support/death_test_style.hpp"

namespace trellune {
namespace {

using namespace std::string_view_literals;

struct KindCase {
  int value;
  std::string_view name;
  std::string_view description;
};

// Typed independently of the X-macro, so a reordered or misspelt entry there
// shows up here.
constexpr KindCase kKinds[] = {
    {0, "NotFound", "entity not found"},
    {1, "PermissionDenied", "permission denied"},
    {2, "ConnectionRefused", "connection refused"},
    {3, "ConnectionReset", "connection reset"},
    {4, "HostUnreachable", "host unreachable"},
    {5, "NetworkUnreachable", "network unreachable"},
    {6, "ConnectionAborted", "connection aborted"},
    {7, "NotConnected", "not connected"},
    {8, "AddrInUse", "address in use"},
    {9, "AddrNotAvailable", "address not available"},
    {10, "NetworkDown", "network down"},
    {11, "BrokenPipe", "broken pipe"},
    {12, "AlreadyExists", "entity already exists"},
    {13, "WouldBlock", "operation would block"},
    {14, "NotADirectory", "not a directory"},
    {15, "IsADirectory", "is a directory"},
    {16, "DirectoryNotEmpty", "directory not empty"},
    {17, "ReadOnlyFilesystem", "read-only filesystem or storage medium"},
    {18, "FilesystemLoop", "filesystem loop or indirection limit (e.g. symlink loop)"},
    {19, "StaleNetworkFileHandle", "stale network file handle"},
    {20, "InvalidInput", "invalid input parameter"},
    {21, "InvalidData", "invalid data"},
    {22, "TimedOut", "timed out"},
    {23, "WriteZero", "write zero"},
    {24, "StorageFull", "no storage space"},
    {25, "NotSeekable", "seek on unseekable file"},
    {26, "QuotaExceeded", "quota exceeded"},
    {27, "FileTooLarge", "file too large"},
    {28, "ResourceBusy", "resource busy"},
    {29, "ExecutableFileBusy", "executable file busy"},
    {30, "Deadlock", "deadlock"},
    {31, "CrossesDevices", "cross-device link or rename"},
    {32, "TooManyLinks", "too many links"},
    {33, "InvalidFilename", "invalid filename"},
    {34, "ArgumentListTooLong", "argument list too long"},
    {35, "Interrupted", "operation interrupted"},
    {36, "Unsupported", "unsupported"},
    {37, "UnexpectedEof", "unexpected end of file"},
    {38, "OutOfMemory", "out of memory"},
    {39, "InProgress", "in progress"},
    {40, "Other", "other error"},
    {41, "Uncategorized", "uncategorized error"},
};

TEST(IoErrorKindTest, NamesAndDescriptionsInValueOrder) {
  static_assert(std::size(kKinds) == kIoErrorKindCount);
  for (const KindCase& c : kKinds) {
    SCOPED_TRACE(c.name);
    const auto kind = static_cast<IoErrorKind>(c.value);
    EXPECT_EQ(io_error_kind_name(kind), c.name);
    EXPECT_EQ(io_error_kind_description(kind), c.description);
    // The bare form shows both texts.
    EXPECT_EQ(IoError(kind).debug_string(), "Kind(" + std::string(c.name) + ")");
    EXPECT_EQ(IoError(kind).display_string(), c.description);
  }
}

struct OsCodeCase {
  int code;
  std::string_view errno_name;
  IoErrorKind kind;
};

constexpr OsCodeCase kOsCodes[] = {
    {1, "EPERM", IoErrorKind::PermissionDenied},
    {2, "ENOENT", IoErrorKind::NotFound},
    {4, "EINTR", IoErrorKind::Interrupted},
    {7, "E2BIG", IoErrorKind::ArgumentListTooLong},
    {11, "EAGAIN", IoErrorKind::WouldBlock},
    {12, "ENOMEM", IoErrorKind::OutOfMemory},
    {13, "EACCES", IoErrorKind::PermissionDenied},
    {16, "EBUSY", IoErrorKind::ResourceBusy},
    {17, "EEXIST", IoErrorKind::AlreadyExists},
    {18, "EXDEV", IoErrorKind::CrossesDevices},
    {20, "ENOTDIR", IoErrorKind::NotADirectory},
    {21, "EISDIR", IoErrorKind::IsADirectory},
    {22, "EINVAL", IoErrorKind::InvalidInput},
    {26, "ETXTBSY", IoErrorKind::ExecutableFileBusy},
    {27, "EFBIG", IoErrorKind::FileTooLarge},
    {28, "ENOSPC", IoErrorKind::StorageFull},
    {29, "ESPIPE", IoErrorKind::NotSeekable},
    {30, "EROFS", IoErrorKind::ReadOnlyFilesystem},
    {31, "EMLINK", IoErrorKind::TooManyLinks},
    {32, "EPIPE", IoErrorKind::BrokenPipe},
    {35, "EDEADLK", IoErrorKind::Deadlock},
    {36, "ENAMETOOLONG", IoErrorKind::InvalidFilename},
    {38, "ENOSYS", IoErrorKind::Unsupported},
    {39, "ENOTEMPTY", IoErrorKind::DirectoryNotEmpty},
    {40, "ELOOP", IoErrorKind::FilesystemLoop},
    {95, "EOPNOTSUPP", IoErrorKind::Unsupported},
    {98, "EADDRINUSE", IoErrorKind::AddrInUse},
    {99, "EADDRNOTAVAIL", IoErrorKind::AddrNotAvailable},
    {100, "ENETDOWN", IoErrorKind::NetworkDown},
    {101, "ENETUNREACH", IoErrorKind::NetworkUnreachable},
    {103, "ECONNABORTED", IoErrorKind::ConnectionAborted},
    {104, "ECONNRESET", IoErrorKind::ConnectionReset},
    {107, "ENOTCONN", IoErrorKind::NotConnected},
    {110, "ETIMEDOUT", IoErrorKind::TimedOut},
    {111, "ECONNREFUSED", IoErrorKind::ConnectionRefused},
    {113, "EHOSTUNREACH", IoErrorKind::HostUnreachable},
    {115, "EINPROGRESS", IoErrorKind::InProgress},
    {116, "ESTALE", IoErrorKind::StaleNetworkFileHandle},
    {122, "EDQUOT", IoErrorKind::QuotaExceeded},
};

TEST(IoErrorKindTest, ListedOsCodes) {
  for (const OsCodeCase& c : kOsCodes) {
    SCOPED_TRACE(c.errno_name);
    EXPECT_EQ(io_error_kind_from_os_code(c.code), c.kind);
    EXPECT_EQ(IoError::from_os_code(c.code).kind(), c.kind);
  }
}

TEST(IoErrorKindTest, EveryOtherNumberIsUncategorized) {
  std::set<int> listed;
  for (const OsCodeCase& c : kOsCodes) listed.insert(c.code);
  constexpr int kExtremes[] = {INT_MIN, INT_MIN + 1, -1000, 1000, 4096, INT_MAX};
  for (const int code : kExtremes) {
    SCOPED_TRACE(code);
    EXPECT_EQ(io_error_kind_from_os_code(code), IoErrorKind::Uncategorized);
  }
  for (int code = -300; code <= 300; ++code) {
    if (listed.contains(code)) continue;
    SCOPED_TRACE(code);
    EXPECT_EQ(io_error_kind_from_os_code(code), IoErrorKind::Uncategorized);
  }
}

TEST(IoErrorKindTest, FromErrnoTakesTheCurrentValue) {
  errno = ECONNRESET;
  const IoError error = io_error_from_errno();
  EXPECT_EQ(error.form(), IoError::Form::Os);
  EXPECT_EQ(error.os_code(), ECONNRESET);
  EXPECT_EQ(error.kind(), IoErrorKind::ConnectionReset);
}

enum class Make { Os, Bare, Static, Custom };

struct RenderCase {
  std::string_view name;
  Make make;
  IoErrorKind kind;
  int code;
  std::string_view text;
  std::string_view debug;
  std::string_view display;
};

IoError make_error(const RenderCase& c) {
  switch (c.make) {
    case Make::Os:
      return IoError::from_os_code(c.code);
    case Make::Bare:
      return IoError(c.kind);
    case Make::Static:
      return IoError::with_static_message(c.kind, c.text);
    case Make::Custom:
      break;
  }
  return IoError::with_custom_message(c.kind, c.text);
}

// OS messages are glibc's, in the C locale the tests run in.
constexpr RenderCase kRenderings[] = {
    {"refused", Make::Os, {}, 111, {},
     R"(Os { code: 111, kind: ConnectionRefused, message: "Connection refused" })",
     "Connection refused (os error 111)"},
    {"reset", Make::Os, {}, 104, {}, R"(Os { code: 104, kind: ConnectionReset, message: "Connection reset by peer" })",
     "Connection reset by peer (os error 104)"},
    {"eio unlisted", Make::Os, {}, 5, {}, R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })",
     "Input/output error (os error 5)"},
    {"epipe", Make::Os, {}, 32, {}, R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })",
     "Broken pipe (os error 32)"},
    {"eagain", Make::Os, {}, 11, {},
     R"(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" })",
     "Resource temporarily unavailable (os error 11)"},
    {"zero", Make::Os, {}, 0, {}, R"(Os { code: 0, kind: Uncategorized, message: "Success" })",
     "Success (os error 0)"},
    {"negative", Make::Os, {}, -1, {}, R"(Os { code: -1, kind: Uncategorized, message: "Unknown error -1" })",
     "Unknown error -1 (os error -1)"},
    {"int min", Make::Os, {}, INT_MIN, {},
     R"(Os { code: -2147483648, kind: Uncategorized, message: "Unknown error -2147483648" })",
     "Unknown error -2147483648 (os error -2147483648)"},
    {"unknown", Make::Os, {}, 1000, {}, R"(Os { code: 1000, kind: Uncategorized, message: "Unknown error 1000" })",
     "Unknown error 1000 (os error 1000)"},
    {"bare", Make::Bare, IoErrorKind::WriteZero, 0, {}, "Kind(WriteZero)", "write zero"},
    {"static", Make::Static, IoErrorKind::WriteZero, 0, "failed to write whole buffer",
     R"(Error { kind: WriteZero, message: "failed to write whole buffer" })", "failed to write whole buffer"},
    {"static buffered", Make::Static, IoErrorKind::WriteZero, 0, "failed to write the buffered data",
     R"(Error { kind: WriteZero, message: "failed to write the buffered data" })",
     "failed to write the buffered data"},
    {"custom utf8", Make::Custom, IoErrorKind::InvalidData, 0, "stream did not contain valid UTF-8",
     R"(Custom { kind: InvalidData, error: "stream did not contain valid UTF-8" })",
     "stream did not contain valid UTF-8"},
    {"custom resolve", Make::Custom, IoErrorKind::InvalidInput, 0, "could not resolve to any address",
     R"(Custom { kind: InvalidInput, error: "could not resolve to any address" })",
     "could not resolve to any address"},
    {"custom escapes", Make::Custom, IoErrorKind::Other, 0, "a\"b\\c\td\ne\x1b",
     R"(Custom { kind: Other, error: "a\"b\\c\td\ne\u{1b}" })", "a\"b\\c\td\ne\x1b"},
    {"static escapes", Make::Static, IoErrorKind::InvalidInput, 0, "caf\u00e9\r\0!"sv,
     R"(Error { kind: InvalidInput, message: "café\r\0!" })", "caf\u00e9\r\0!"sv},
    {"custom empty", Make::Custom, IoErrorKind::Other, 0, "", R"(Custom { kind: Other, error: "" })", ""},
};

TEST(IoErrorRenderTest, DebugAndDisplay) {
  for (const RenderCase& c : kRenderings) {
    SCOPED_TRACE(c.name);
    const IoError error = make_error(c);
    StringSink debug;
    EXPECT_TRUE(error.render_debug(debug));
    EXPECT_EQ(debug.text(), c.debug);
    StringSink display;
    EXPECT_TRUE(error.render_display(display));
    EXPECT_EQ(display.text(), c.display);
    EXPECT_EQ(error.debug_string(), c.debug);
    EXPECT_EQ(error.display_string(), c.display);
  }
}

TEST(IoErrorRenderTest, MessageOnlyForTextForms) {
  for (const RenderCase& c : kRenderings) {
    SCOPED_TRACE(c.name);
    const IoError error = make_error(c);
    const bool has_text = c.make == Make::Static || c.make == Make::Custom;
    EXPECT_EQ(error.message(), has_text ? c.text : std::string_view());
  }
}

// Accepts a fixed number of appends, then fails every one after; counts them.
class FailingSink final : public TextSink {
 public:
  explicit FailingSink(int accepted = INT_MAX) : remaining_(accepted) {}
  bool append(std::string_view text) override {
    ++calls_;
    if (remaining_ == 0) return false;
    --remaining_;
    text_.append(text);
    return true;
  }
  int calls() const { return calls_; }
  const std::string& text() const { return text_; }

 private:
  int remaining_;
  int calls_ = 0;
  std::string text_;
};

TEST(IoErrorRenderTest, FailingSinkStopsTheRenderingAtOnce) {
  for (const RenderCase& c : kRenderings) {
    SCOPED_TRACE(c.name);
    const IoError error = make_error(c);
    for (const bool debug : {true, false}) {
      FailingSink counter;
      ASSERT_TRUE(debug ? error.render_debug(counter) : error.render_display(counter));
      const std::string_view full = debug ? c.debug : c.display;
      for (int accepted = 0; accepted < counter.calls(); ++accepted) {
        SCOPED_TRACE(testing::Message() << (debug ? "debug" : "display") << ", failing after " << accepted);
        FailingSink sink(accepted);
        EXPECT_FALSE(debug ? error.render_debug(sink) : error.render_display(sink));
        // Nothing is appended after the failed append.
        EXPECT_EQ(sink.calls(), accepted + 1);
        EXPECT_TRUE(full.starts_with(sink.text()));
      }
    }
  }
}

TEST(IoErrorTest, MovingACustomErrorMovesItsText) {
  IoError original = IoError::with_custom_message(IoErrorKind::InvalidData, "payload");
  const char* payload = original.message().data();
  IoError moved = std::move(original);
  EXPECT_EQ(moved.message(), "payload");
  // The same bytes: ownership moved, nothing was copied.
  EXPECT_EQ(moved.message().data(), payload);
  EXPECT_EQ(moved.kind(), IoErrorKind::InvalidData);
}

TEST(IoErrorTest, CustomTextIsACopy) {
  std::string text = "original";
  const IoError error = IoError::with_custom_message(IoErrorKind::Other, text);
  text.assign("changed!");
  EXPECT_EQ(error.message(), "original");
}

TEST(IoResultTest, HoldsValueOrErrorAcrossMoves) {
  IoResult<std::string> value = std::string("line");
  IoResult<std::string> error = IoError::from_os_code(32);
  ASSERT_TRUE(value.has_value());
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(*value, "line");
  EXPECT_EQ(error.error().kind(), IoErrorKind::BrokenPipe);

  value = std::move(error);
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().os_code(), 32);

  IoResult<std::string> other = std::string("again");
  value = std::move(other);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value.value(), "again");

  IoStatus ok;
  EXPECT_TRUE(ok.has_value());
  IoStatus failed = IoError(IoErrorKind::WriteZero);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().debug_string(), "Kind(WriteZero)");
}

// Fatal reports that carry this library's texts. Death tests run in a
// re-executed child, so the child's main thread is the one gtest runs on.
class IoErrorDeathTest : public testing::Test {
 protected:
  void SetUp() override { use_fresh_process_death_tests(); }
};

// The report names this line.
constexpr int kFatalLine = __LINE__ + 1;
[[noreturn]] void raise_fatal(std::string_view message) { TRELLUNE_FATAL(message); }

TEST_F(IoErrorDeathTest, MessageWithDisplayRendering) {
  // The shape the event loop uses when a worker cannot be started.
  EXPECT_EXIT(
      {
        StringSink sink;
        (void)sink.append("OS can't spawn worker thread: ");
        (void)IoError::from_os_code(11).render_display(sink);
        raise_fatal(sink.text());
      },
      testing::KilledBySignal(SIGABRT),
      testing::Matcher<const std::string&>(
          "\ntrellune-mcp: fatal error in thread 'main' at tests/io_error/io_error_test.cpp:" +
          std::to_string(kFatalLine) +
          ":\nOS can't spawn worker thread: Resource temporarily unavailable (os error 11)\n" + kAfterAbort));
}

TEST_F(IoErrorDeathTest, KindOutsideTheList) {
  EXPECT_EXIT((void)io_error_kind_name(static_cast<IoErrorKind>(kIoErrorKindCount)),
              testing::KilledBySignal(SIGABRT), "\ninternal invariant failed: ");
}

}  // namespace
}  // namespace trellune
