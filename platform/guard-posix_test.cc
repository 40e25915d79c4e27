#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <stdexcept>

#include "platform/guard.h"

namespace {

int Reached;

// A write to a page that allows no access: a real access violation, which the sanitizers
// leave to the signal (a null pointer they would report themselves).
void WritesToAnInaccessiblePage() {
  static void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *(volatile int*)page = 1;
  Reached++;
}
volatile long FramesLeft = 1L << 40;
void OverflowsStack() {
  volatile char frame[4096];
  frame[0] = 1;
  FramesLeft = FramesLeft - 1;
  if (FramesLeft > 0) OverflowsStack();
  frame[1] = frame[0];
}

TEST(Guard, TellsNormalReturnFromExceptionsAndFaultsAndCatchesAtTheInnermost) {
  struct {
    const char* name;
    void (*routine)(void);
    bool completes;
  } cases[] = {
    {"returns", [] { Reached++; }, true},
    {"throws a standard exception", [] { throw std::runtime_error("thrown"); }, false},
    {"throws an int", [] { throw 42; }, false},
    {"writes to an inaccessible page", WritesToAnInaccessiblePage, false},
    {"raises SIGFPE", [] { raise(SIGFPE); }, false},
    {"raises SIGBUS", [] { raise(SIGBUS); }, false},
    {"raises SIGILL", [] { raise(SIGILL); }, false},
    {"faults inside an inner guard",
     [] {
       EXPECT_FALSE(CallGuarded(WritesToAnInaccessiblePage));
       Reached++;
     },
     true},
    {"faults after an inner guard",
     [] {
       EXPECT_TRUE(CallGuarded([] { Reached++; }));
       WritesToAnInaccessiblePage();
     },
     false},
#if !defined(__SANITIZE_ADDRESS__)
    {"overflows the stack", OverflowsStack, false},
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.completes, CallGuarded(c.routine)) << c.name;
    // Twice: the first fault must leave the guard usable.
    EXPECT_EQ(c.completes, CallGuarded(c.routine)) << c.name << ", again";
  }
}

TEST(GuardDeathTest, FaultsOutsideAGuardKeepTheirDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(CallGuarded([] {}));
  // The default action, or the sanitizer's report where one runs: either way the process dies.
  EXPECT_DEATH(WritesToAnInaccessiblePage(), "");
}

}  // namespace
