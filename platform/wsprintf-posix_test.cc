#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/messagebox.h"

namespace {

TEST(Wsprintf, ConversionsAsTheMessagesUseThem) {
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
}

TEST(Wsprintf, OutputIsCutTo1023Characters) {
  char out[2048];
  memset(out, 'X', sizeof out);
  EXPECT_EQ(1023, wsprintfA(out, "<%s>", std::string(3000, 'a').c_str()));
  EXPECT_EQ(1023u, strlen(out));
  EXPECT_EQ('X', out[1024]) << "nothing past the terminator is written";
}

}  // namespace
