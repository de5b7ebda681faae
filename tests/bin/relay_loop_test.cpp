#include "bin/trellune-mcp/relay_loop.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bin/trellune-mcp/process_setup.hpp"

namespace trellune {
namespace {

struct BlankCase {
  const char* name;
  std::string_view line;
  bool blank;
};

constexpr BlankCase kBlankCases[] = {
    {"empty", "", true},
    {"spaces", "   ", true},
    {"tab to carriage return", "\t\n\v\f\r", true},
    {"next line U+0085", "\xc2\x85", true},
    {"no-break space U+00A0", "\xc2\xa0", true},
    {"ogham space mark U+1680", "\xe1\x9a\x80", true},
    {"en quad U+2000 .. hair space U+200A", "\xe2\x80\x80\xe2\x80\x8a", true},
    {"line and paragraph separators", "\xe2\x80\xa8\xe2\x80\xa9", true},
    {"narrow no-break and medium math space", "\xe2\x80\xaf\xe2\x81\x9f", true},
    {"ideographic space U+3000", "\xe3\x80\x80", true},
    {"zero width space U+200B is not white space", "\xe2\x80\x8b", false},
    {"byte order mark U+FEFF is not white space", "\xef\xbb\xbf", false},
    {"NUL is not white space", std::string_view("\0", 1), false},
    {"text between spaces", "  x  ", false},
    {"U+00A1 right after white space", " \xc2\xa1", false},
};

TEST(BlankLineTest, UsesTheUnicodeWhiteSpaceSet) {
  for (const BlankCase& c : kBlankCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_blank_line(c.line), c.blank);
  }
}

// Whatever the client left open is closed at start, the standard streams
// kept: through close_range, and one by one as /proc lists them where the
// kernel is older. Each in a child, which reports the descriptors still open.
TEST(ProcessSetupTest, InheritedDescriptorsAreClosed) {
  struct CloseCase {
    const char* name;
    void (*close)();
  };
  constexpr CloseCase kCases[] = {{"close_range", close_inherited_descriptors},
                                  {"one by one", close_descriptors_one_by_one}};
  for (const CloseCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const pid_t child = ::fork();
    if (child == 0) {
      for (const int fd : {3, 4, 9, 200}) ::dup2(STDERR_FILENO, fd);
      c.close();
      int left_open = 0;
      for (int fd = 3; fd < 256; ++fd) left_open += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
      const bool standard_kept = ::fcntl(STDERR_FILENO, F_GETFD) >= 0;
      ::_exit(left_open != 0 ? 1 : standard_kept ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "1: one was left open, 2: standard error closed";
  }
}

}  // namespace
}  // namespace trellune
