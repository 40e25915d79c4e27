// The POSIX stand-ins for the platform: the guard around subsystem calls, and user32's formatter.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>

#include <stdexcept>
#include <string>
#include <tuple>

#include "platform/guard.h"
#include "platform/messagebox.h"

namespace {

// Counts the steps a guarded routine takes: a fault or a throw must end the routine there.
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
  // What the routine is and does, whether the guard tells it completed, and the steps it Reached.
  const std::tuple<const char*, void (*)(), bool, int> cases[] = {
    {"returns", [] { Reached++; }, true, 1},
    {"throws a standard exception", [] { throw std::runtime_error("thrown"); }, false, 0},
    {"throws an int", [] { throw 42; }, false, 0},
    {"writes to an inaccessible page", WritesToAnInaccessiblePage, false, 0},
    {"raises SIGFPE", [] { raise(SIGFPE); }, false, 0},
    {"raises SIGBUS", [] { raise(SIGBUS); }, false, 0},
    {"raises SIGILL", [] { raise(SIGILL); }, false, 0},
    // Reached counts an inner guard that told the fault, or the normal return, it should.
    {"faults inside an inner guard", [] { Reached += !CallGuarded(WritesToAnInaccessiblePage); },
     true, 1},
    {"faults after an inner guard",
     [] { Reached += CallGuarded([] {}), WritesToAnInaccessiblePage(); }, false, 1},
#if !defined(__SANITIZE_ADDRESS__)
    {"overflows the stack", OverflowsStack, false, 0},
#endif
  };
  for (const auto& [name, routine, completes, steps] : cases) {
    for (const char* round : {"", ", again"}) {  // the first fault must leave the guard usable
      Reached = 0;
      EXPECT_EQ(completes, CallGuarded(routine)) << name << round;
      EXPECT_EQ(steps, Reached) << name << round;
    }
  }
}

TEST(GuardDeathTest, FaultsOutsideAGuardKeepTheirDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(CallGuarded([] {}));
  // The default action, or the sanitizer's report where one runs: either way the process dies.
  EXPECT_DEATH(WritesToAnInaccessiblePage(), "");
}

TEST(Wsprintf, ConversionsAsTheMessagesUseThemAndTheOutputIsCut) {
  char out[2048];
  // A status: eight lower-case digits of its 32 bits.
  wsprintfA(out, "(%08lx)(%08lx)(%08lx)", (HRESULT)0x00040380, (HRESULT)0x8004010Fu,
            (HRESULT)0xFFFFFFFFu);
  EXPECT_STREQ("(00040380)(8004010f)(ffffffff)", out);
  wsprintfA(out, "%d|%u|%X|[%-5d][%05d]|%ld", -42, 4000000000u, 0xbeefu, 42, -42,
            (LONG)-2147483647 - 1);
  EXPECT_STREQ("-42|4000000000|BEEF|[42   ][-0042]|-2147483648", out);
  wsprintfA(out, "[%6s][%c] 100%% %s %q and %", "ab", 'z', (const char*)nullptr);
  EXPECT_STREQ("[    ab][z] 100% (null) %q and %", out);
  // A precision limits a string and gives a number its least count of digits; '#' prefixes a
  // nonzero hexadecimal number; later arguments stay in step.
  wsprintfA(out, "[%.3s][%6.2s][%.4d][%8.3x][%#x][%#X][%#x][%#010x][%08.3d]", "abcdef", "xyz", -7,
            0xau, 255u, 255u, 0u, 0xbeefu, 5);
  EXPECT_STREQ("[abc][    xy][-0007][     00a][0xff][0XFF][0][0x0000beef][     005]", out);
  // The output is cut to 1023 characters.
  memset(out, 'X', sizeof out);
  EXPECT_EQ(1023, wsprintfA(out, "<%s>", std::string(3000, 'a').c_str()));
  EXPECT_EQ(1023u, strlen(out));
  EXPECT_EQ('X', out[1024]) << "nothing past the terminator is written";
}

}  // namespace
