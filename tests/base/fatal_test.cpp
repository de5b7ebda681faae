#include "base/fatal.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "base/fatal_internal.hpp"
#include "base/sanitizers.hpp"
#include "support/death_test_style.hpp"

namespace trellune {
namespace {

struct PathCase {
  std::string_view file;
  std::string_view shown;
};

constexpr PathCase kPathCases[] = {
    {"/work/main/src/base/fatal.cpp", "src/base/fatal.cpp"},
    {"/work/main/tests/base/fatal_test.cpp", "tests/base/fatal_test.cpp"},
    {"/home/me/src/trellune/src/json/parse.cpp", "src/json/parse.cpp"},
    {"/home/me/src/trellune/tests/bridge/relay_test.cpp", "tests/bridge/relay_test.cpp"},
    {"/home/me/tests/trellune/src/bin/main.cpp", "src/bin/main.cpp"},
    {"src/io_error/io_error.cpp", "src/io_error/io_error.cpp"},
    {"../src/io_error/io_error.cpp", "src/io_error/io_error.cpp"},
    {"/opt/srcs/other.cpp", "/opt/srcs/other.cpp"},
    {"fatal.cpp", "fatal.cpp"},
    {"", ""},
};

TEST(FatalReportTest, PlaceIsRelativeToTheRepository) {
  for (const PathCase& c : kPathCases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(repository_relative_path(c.file), c.shown);
  }
}

struct ThreadNameCase {
  std::string_view name;
  std::string_view given;
  std::string_view kept;
};

const std::string kLongName(100, 'n');
// "é" is two bytes; a cut after 63 bytes would fall between them.
const std::string kSplitName = std::string(62, 'n') + "\xc3\xa9" + "tail";

const ThreadNameCase kThreadNameCases[] = {
    {"short", "relay", "relay"},
    {"empty", "", ""},
    {"exactly the capacity", std::string_view(kLongName).substr(0, kThreadNameCapacity),
     std::string_view(kLongName).substr(0, kThreadNameCapacity)},
    {"too long", kLongName, std::string_view(kLongName).substr(0, kThreadNameCapacity)},
    {"cut inside a character", kSplitName, std::string_view(kSplitName).substr(0, 62)},
};

TEST(FatalReportTest, ThreadNames) {
  EXPECT_EQ(current_thread_name(), "main");
  for (const ThreadNameCase& c : kThreadNameCases) {
    SCOPED_TRACE(c.name);
    // A fresh thread each time, so that the main thread keeps its name.
    std::thread([&c] {
      EXPECT_EQ(current_thread_name(), "unnamed");
      set_current_thread_name(c.given);
      EXPECT_EQ(current_thread_name(), c.kept);
    }).join();
  }
  EXPECT_EQ(current_thread_name(), "main");
}

// Death tests run in a re-executed child, so the main thread of the child is
// the one gtest runs the test on, and no other thread is copied by fork.
class FatalDeathTest : public testing::Test {
 protected:
  void SetUp() override { use_fresh_process_death_tests(); }
};

// The report names this line.
constexpr int kFatalLine = __LINE__ + 1;
[[noreturn]] void raise_fatal(std::string_view message) { TRELLUNE_FATAL(message); }

// The whole of standard error, byte for byte.
testing::Matcher<const std::string&> is_exactly_the_report(std::string_view thread, std::string_view message) {
  return testing::Matcher<const std::string&>("\ntrellune-mcp: fatal error in thread '" + std::string(thread) +
                                              "' at tests/base/fatal_test.cpp:" + std::to_string(kFatalLine) +
                                              ":\n" + std::string(message) + "\n" + kAfterAbort);
}

struct FatalCase {
  const char* name;
  const char* thread;  // nothing: the main thread; empty: a thread left unnamed
  std::string_view message;
  std::string_view shown_thread;
};

TEST_F(FatalDeathTest, TheReportNamesItsThreadAndHoldsTheWholeMessage) {
  static const std::string kLong = [] {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += std::to_string(i) + ",";
    return text;
  }();
  const FatalCase cases[] = {
      {"main thread", nullptr, "something broke", "main"},
      {"named thread", "stdin-worker", "worker failed", "stdin-worker"},
      {"unnamed thread", "", "anonymous", "unnamed"},
      {"message longer than the report buffer", nullptr, kLong, "main"},
  };
  for (const FatalCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto fail = [&c] {
      if (c.thread == nullptr) raise_fatal(c.message);
      std::thread([&c] {
        if (*c.thread != '\0') set_current_thread_name(c.thread);
        raise_fatal(c.message);
      }).join();
    };
    EXPECT_EXIT(fail(), testing::KilledBySignal(SIGABRT), is_exactly_the_report(c.shown_thread, c.message));
  }
}

TEST_F(FatalDeathTest, BrokenCheck) {
  const int answer = 41;
  EXPECT_EXIT(TRELLUNE_CHECK(answer == 42), testing::KilledBySignal(SIGABRT),
              std::string("^\ntrellune-mcp: fatal error in thread 'main' at tests/base/fatal_test\\.cpp:[0-9]+:\n"
                          "internal invariant failed: answer == 42\n") +
                  kAfterAbortPattern + "$");
}

#if !TRELLUNE_ADDRESS_SANITIZER

// Far beyond any address space, so malloc fails at once.
volatile std::size_t g_huge = std::size_t{1} << 62;
void* volatile g_allocated = nullptr;

struct AllocationCase {
  std::string_view name;
  void (*allocate)();
};

constexpr AllocationCase kAllocationCases[] = {
    {"new", [] { g_allocated = ::operator new(g_huge); }},
    {"new[]", [] { g_allocated = ::operator new[](g_huge); }},
    {"aligned new", [] { g_allocated = ::operator new(g_huge, std::align_val_t{64}); }},
    {"aligned new[]", [] { g_allocated = ::operator new[](g_huge, std::align_val_t{4096}); }},
    {"string", [] { g_allocated = std::string(g_huge / 2, 'x').data(); }},
};

TEST_F(FatalDeathTest, AllocationFailure) {
  for (const AllocationCase& c : kAllocationCases) {
    SCOPED_TRACE(c.name);
    const std::size_t expected_size = c.name == "string" ? g_huge / 2 + 1 : g_huge;
    EXPECT_EXIT(c.allocate(), testing::KilledBySignal(SIGABRT),
                "^\ntrellune-mcp: fatal error in thread 'main' at src/base/fatal\\.cpp:[0-9]+:\n"
                "memory allocation of " +
                    std::to_string(expected_size) + " bytes failed\n" + kAfterAbortPattern + "$");
  }
}

TEST_F(FatalDeathTest, AllocationFailureConsultsTheNewHandler) {
  EXPECT_EXIT(
      {
        std::set_new_handler([] { TRELLUNE_FATAL("new_handler ran"); });
        g_allocated = ::operator new(g_huge);
      },
      testing::KilledBySignal(SIGABRT), std::string("\nnew_handler ran\n") + kAfterAbortPattern + "$");
}

TEST(AllocationTest, NothrowFormsReturnNull) {
  EXPECT_EQ(::operator new(g_huge, std::nothrow), nullptr);
  EXPECT_EQ(::operator new[](g_huge, std::nothrow), nullptr);
  EXPECT_EQ(::operator new(g_huge, std::align_val_t{64}, std::nothrow), nullptr);
  EXPECT_EQ(::operator new[](g_huge, std::align_val_t{64}, std::nothrow), nullptr);
}

#endif  // !TRELLUNE_ADDRESS_SANITIZER

struct AlignmentCase {
  std::size_t size;
  std::size_t alignment;
};

constexpr AlignmentCase kAlignmentCases[] = {{1, 1}, {0, 8}, {3, 32}, {100, 64}, {5000, 4096}};

TEST(AllocationTest, AlignedFormsAlign) {
  for (const AlignmentCase& c : kAlignmentCases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes aligned to " << c.alignment);
    const auto alignment = static_cast<std::align_val_t>(c.alignment);
    void* memory = ::operator new(c.size, alignment);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % c.alignment, 0u);
    ::operator delete(memory, alignment);
  }
}

}  // namespace
}  // namespace trellune
