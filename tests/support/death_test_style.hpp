// Death tests whose child must start as a process of its own, its main
// thread the one that runs the test and no other thread copied into it.
#pragma once

#include <gtest/gtest.h>

namespace trellune {

// gtest's "threadsafe" style executes the test binary again for each death
// test. Under an emulator that binary can't be executed directly, so the
// child is forked from the test's thread instead: gtest runs tests on the
// main thread, so the child's only thread is its main thread all the same.
inline void use_fresh_process_death_tests() {
#ifdef TRELLUNE_TEST_EMULATED
  GTEST_FLAG_SET(death_test_style, "fast");
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
}

// qemu-user reports a target's abort on standard error after whatever the
// target wrote: the text, and a pattern that matches it.
#ifdef TRELLUNE_TEST_EMULATED
inline constexpr const char* kAfterAbort = "qemu: uncaught target signal 6 (Aborted) - core dumped\n";
inline constexpr const char* kAfterAbortPattern = "qemu: uncaught target signal 6 \\(Aborted\\) - core dumped\n";
#else
inline constexpr const char* kAfterAbort = "";
inline constexpr const char* kAfterAbortPattern = "";
#endif

}  // namespace trellune
