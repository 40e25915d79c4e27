#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <stdexcept>

#include "platform/guard.h"

namespace {

int Reached;

void Returns() {
  Reached++;
}
void Throws() {
  throw std::runtime_error("thrown inside the guard");
}
void ThrowsInt() {
  throw 42;
}
// A write to a page that allows no access: a real access violation, which the sanitizers
// leave to the signal (a null pointer they would report themselves).
void WritesToAnInaccessiblePage() {
  static void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *(volatile int*)page = 1;
  Reached++;
}
void RaisesFpe() {
  raise(SIGFPE);
}
void RaisesBus() {
  raise(SIGBUS);
}
void RaisesIll() {
  raise(SIGILL);
}
volatile long FramesLeft = 1L << 40;
void OverflowsStack() {
  volatile char frame[4096];
  frame[0] = 1;
  FramesLeft = FramesLeft - 1;
  if (FramesLeft > 0) OverflowsStack();
  frame[1] = frame[0];
}
void FaultsInsideInnerGuard() {
  EXPECT_FALSE(CallGuarded(WritesToAnInaccessiblePage));
  Reached++;
}
void FaultsAfterInnerGuard() {
  EXPECT_TRUE(CallGuarded(Returns));
  WritesToAnInaccessiblePage();
}

TEST(Guard, TellsNormalReturnFromExceptionsAndFaults) {
  struct {
    const char* name;
    void (*routine)(void);
    bool completes;
  } cases[] = {
      {"returns", Returns, true},
      {"throws a standard exception", Throws, false},
      {"throws an int", ThrowsInt, false},
      {"writes to an inaccessible page", WritesToAnInaccessiblePage, false},
      {"raises SIGFPE", RaisesFpe, false},
      {"raises SIGBUS", RaisesBus, false},
      {"raises SIGILL", RaisesIll, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.completes, CallGuarded(c.routine)) << c.name;
    // Twice: the first fault must leave the guard usable.
    EXPECT_EQ(c.completes, CallGuarded(c.routine)) << c.name << ", again";
  }
}

TEST(Guard, NestedGuardsCatchAtTheInnermost) {
  Reached = 0;
  EXPECT_TRUE(CallGuarded(FaultsInsideInnerGuard));
  EXPECT_EQ(1, Reached);
  EXPECT_FALSE(CallGuarded(FaultsAfterInnerGuard));
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(Guard, CatchesAStackOverflow) {
  EXPECT_FALSE(CallGuarded(OverflowsStack));
}
#endif

TEST(GuardDeathTest, FaultsOutsideAGuardKeepTheirDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(CallGuarded(Returns));
  // The default action, or the sanitizer's report where one runs: either way the process dies.
  EXPECT_DEATH(WritesToAnInaccessiblePage(), "");
}

}  // namespace
