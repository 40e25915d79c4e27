#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "platform/messagebox.h"

namespace {

TEST(Wsprintf, StatusesAreEightLowerCaseDigitsOf32Bits) {
  char out[2048];
  struct {
    HRESULT status;
    const char* expected;
  } cases[] = {
      {(HRESULT)0, "(00000000)"},           {(HRESULT)0x00040380, "(00040380)"},
      {(HRESULT)0x80070005u, "(80070005)"}, {(HRESULT)0x8004010Fu, "(8004010f)"},
      {(HRESULT)0xFFFFFFFFu, "(ffffffff)"},
  };
  for (const auto& c : cases) {
    wsprintfA(out, "(%08lx)", c.status);
    EXPECT_STREQ(c.expected, out);
  }
}

TEST(Wsprintf, Conversions) {
  char out[2048];
  wsprintfA(out, "%d|%i|%u|%x|%X", -42, 7, 4000000000u, 0xbeefu, 0xbeefu);
  EXPECT_STREQ("-42|7|4000000000|beef|BEEF", out);
  wsprintfA(out, "[%5d][%-5d][%05d][%05d]", 42, 42, 42, -42);
  EXPECT_STREQ("[   42][42   ][00042][-0042]", out);
  wsprintfA(out, "[%s][%6s][%-6s][%c]", "ab", "ab", "ab", 'z');
  EXPECT_STREQ("[ab][    ab][ab    ][z]", out);
  wsprintfA(out, "%ld %lu %d", (LONG)-2147483647 - 1, (ULONG)4294967295u, 0);
  EXPECT_STREQ("-2147483648 4294967295 0", out);
  wsprintfA(out, "100%% %s", (const char*)nullptr);
  EXPECT_STREQ("100% (null)", out);
  wsprintfA(out, "%q and %");
  EXPECT_STREQ("%q and %", out);
  // A precision limits a string and gives a number its least count of digits; later
  // arguments stay in step.
  wsprintfA(out, "[%.3s][%6.2s][%.4d][%8.3x][%#x][%#X][%#x]", "abcdef", "xyz", -7, 0xau, 255u, 255u,
            0u);
  EXPECT_STREQ("[abc][    xy][-0007][     00a][0xff][0XFF][0]", out);
  wsprintfA(out, "[%#010x][%08.3d]", 0xbeefu, 5);
  EXPECT_STREQ("[0x0000beef][     005]", out);
}

TEST(Wsprintf, OutputIsCutTo1023Characters) {
  char out[2048];
  memset(out, 'X', sizeof out);
  std::string longText(3000, 'a');
  int written = wsprintfA(out, "<%s>", longText.c_str());
  EXPECT_EQ(1023, written);
  EXPECT_EQ(1023u, strlen(out));
  EXPECT_EQ('<', out[0]);
  EXPECT_EQ('X', out[1024]) << "nothing past the terminator is written";

  std::string exact(1023, 'b');
  EXPECT_EQ(1023, wsprintfA(out, "%s", exact.c_str()));
  EXPECT_EQ(exact, out);
}

}  // namespace
