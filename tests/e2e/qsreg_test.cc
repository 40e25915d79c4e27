// Drives the built qsreg as an administrator would, on a store of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "support/process.h"
#include "support/tempstore.h"

namespace {

const char Completed[] = "The operation completed successfully.\n";

ProcessResult Qsreg(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), QSREG_PATH);
  return RunProcess(args, input);
}

// One error line on stderr, nothing on stdout, exit status 1.
void ExpectOneError(const ProcessResult& result, const std::string& what) {
  EXPECT_EQ(1, result.exitCode) << what;
  EXPECT_EQ("", result.out) << what;
  EXPECT_EQ(0u, result.err.rfind("ERROR: ", 0)) << what << ": " << result.err;
  EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << what << result.err;
}

class QsregTest : public TempStoreTest {};

TEST_F(QsregTest, BadInputGetsOneErrorLineAndChangesNothing) {
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Present", "/v", "v", "/d", "1"}).exitCode);
  std::string before = Qsreg({"query", "HKCU", "/s"}).out;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", "HKCU\\Present"},
      {"query"},
      {"query", "HKLM\\Software"},
      {"query", "Software\\Present"},
      {"query", "HKCU\\a\\\\b"},
      {"query", "HKCU\\" + std::string(256, 'k')},
      {"query", "HKCU\\Missing"},
      {"query", "HKCU\\Present", "/v", "missing"},
      {"query", "HKCU\\Present", "/v"},
      {"query", "HKCU\\Present", "/bogus"},
      {"query", "HKCU\\Present", "extra"},
      {"add", "HKCU", "/v", "n", "/d", "x"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_FOO"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_QWORD", "/d", "18446744073709551616"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_BINARY", "/d", "abc"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_MULTI_SZ", "/s", "ab", "/d", "a"},
      {"add", "HKCU\\New", "/d", "x"},
      {"delete", "HKCU\\Missing", "/f"},
      {"delete", "HKCU\\Present", "/v", "missing", "/f"},
      {"delete", "HKCU", "/f"},
      {"export", "HKCU\\Present"},
      {"export", "HKCU\\Missing", configHome + "/out.reg"},
      {"export", "HKCU\\Present", configHome + "/no/such/folder.reg"},
  };
  for (const auto& args : cases) ExpectOneError(Qsreg(args), testing::PrintToString(args));
  EXPECT_EQ(before, Qsreg({"query", "HKCU", "/s"}).out);
  EXPECT_EQ("qsprofile\n", RunProcess({"/bin/ls", "-A", configHome}).out) << "no file left";
}

TEST_F(QsregTest, EachTypeGoesThroughAddQueryExportAndDelete) {
  struct {
    std::vector<std::string> add;  // after KEY /v n
    const char* shown;             // type and data as query shows them
    const char* exported;          // the value's export line
  } cases[] = {
      {{"/d", "hello world"}, "REG_SZ    hello world", "\"n\"=\"hello world\""},
      {{}, "REG_SZ    ", "\"n\"=\"\""},
      {{"/d", "say \"hi\" C:\\x"},
       "REG_SZ    say \"hi\" C:\\x",
       "\"n\"=\"say \\\"hi\\\" C:\\\\x\""},
      {{"/d", "a\nb"}, "REG_SZ    a\nb", "\"n\"=hex(1):61,0a,62,00"},  // not quotable as it is
      {{"/t", "REG_EXPAND_SZ", "/d", "%P%;x"},
       "REG_EXPAND_SZ    %P%;x",
       "\"n\"=hex(2):25,50,25,3b,78,00"},
      {{"/t", "REG_MULTI_SZ", "/d", "a\\0bc"},
       "REG_MULTI_SZ    a\\0bc",
       "\"n\"=hex(7):61,00,62,63,00,00"},
      {{"-T", "reg_multi_sz", "-S", ",", "-D", "a,b,"},
       "REG_MULTI_SZ    a\\0b",
       "\"n\"=hex(7):61,00,62,00,00"},
      {{"/t", "REG_DWORD", "/d", "42"}, "REG_DWORD    0x2a", "\"n\"=dword:0000002a"},
      {{"/t", "REG_DWORD", "/d", "0XFFFFFFFF"}, "REG_DWORD    0xffffffff", "\"n\"=dword:ffffffff"},
      {{"/t", "REG_QWORD", "/d", "0x123456789"},
       "REG_QWORD    0x123456789",
       "\"n\"=hex(b):89,67,45,23,01,00,00,00"},
      {{"/t", "REG_BINARY", "/d", "00ff10"}, "REG_BINARY    00FF10", "\"n\"=hex:00,ff,10"},
      {{"/t", "REG_NONE"}, "REG_NONE    ", "\"n\"=hex(0):"},
  };
  std::string file = configHome + "/value.reg";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    std::vector<std::string> add = {"ADD", "hkey_current_user\\Types", "/v", "n", "/f"};
    add.insert(add.end(), c.add.begin(), c.add.end());
    EXPECT_EQ(Completed, Qsreg(add).out);
    EXPECT_EQ(std::string("\nHKEY_CURRENT_USER\\Types\n    n    ") + c.shown + "\n\n",
              Qsreg({"query", "HKCU\\Types", "/v", "N"}).out);
    EXPECT_EQ(Completed, Qsreg({"export", "HKCU\\Types", file, "/y"}).out);
    EXPECT_EQ(std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\Types]\n") + c.exported + "\n\n",
              ReadFile(file));
    EXPECT_EQ(Completed, Qsreg({"delete", "HKCU\\Types", "/v", "n", "/f"}).out);
    ExpectOneError(Qsreg({"query", "HKCU\\Types", "/v", "n"}), "deleted");
  }

  // The default value, and a whole tree.
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Types", "/ve", "/d", "standard"}).exitCode);
  ASSERT_EQ(0,
            Qsreg({"add", "HKCU\\Types\\Sub", "/v", "m", "/t", "REG_DWORD", "/d", "7"}).exitCode);
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Types\n    (Default)    REG_SZ    standard\n\n",
            Qsreg({"query", "HKCU\\Types", "/ve"}).out);
  ASSERT_EQ(0, Qsreg({"export", "HKCU\\Types", file, "/y"}).exitCode);
  EXPECT_EQ(
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Types]\n@=\"standard\"\n\n"
      "[HKEY_CURRENT_USER\\Types\\Sub]\n\"m\"=dword:00000007\n\n",
      ReadFile(file));
  ASSERT_EQ(0, Qsreg({"delete", "HKCU\\Types", "/ve", "/f"}).exitCode);
  ExpectOneError(Qsreg({"query", "HKCU\\Types", "/ve"}), "deleted default value");
  ASSERT_EQ(0, Qsreg({"delete", "HKCU\\Types", "/f"}).exitCode);
  ExpectOneError(Qsreg({"query", "HKCU\\Types\\Sub"}), "deleted tree");
}

TEST_F(QsregTest, ChangesNeedForceWithoutATerminal) {
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Keep", "/v", "v", "/d", "old"}).exitCode);
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Keep", "/v", "w", "/d", "other"}).exitCode);
  std::string file = configHome + "/keep.reg";
  WriteFile(file, "mine");
  chmod(file.c_str(), 0640);
  const std::string before = Qsreg({"query", "HKCU\\Keep"}).out;

  // A change that would ask is refused, even with an answer on stdin.
  ExpectOneError(Qsreg({"add", "HKCU\\Keep", "/v", "v", "/d", "new"}, "yes\n"), "add");
  ExpectOneError(Qsreg({"delete", "HKCU\\Keep", "/v", "v"}, "yes\n"), "delete value");
  ExpectOneError(Qsreg({"delete", "HKCU\\Keep", "/va"}, "yes\n"), "delete values");
  ExpectOneError(Qsreg({"delete", "HKCU\\Keep"}, "yes\n"), "delete key");
  ExpectOneError(Qsreg({"export", "HKCU\\Keep", file}, "yes\n"), "export");
  ExpectOneError(Qsreg({"export", "HKCU\\Missing", file, "/y"}), "export of a missing key");
  EXPECT_EQ(before, Qsreg({"query", "HKCU\\Keep"}).out);
  EXPECT_EQ("mine", ReadFile(file));

  // /f and /y change without asking; a replaced file keeps its permissions, a new one is private.
  EXPECT_EQ(Completed, Qsreg({"add", "HKCU\\Keep", "/v", "v", "/d", "new", "/f"}).out);
  EXPECT_EQ(Completed, Qsreg({"export", "HKCU\\Keep", file, "/y"}).out);
  EXPECT_EQ(Completed, Qsreg({"export", "HKCU\\Keep", file + ".new"}).out);
  struct stat replaced, created;
  ASSERT_EQ(0, stat(file.c_str(), &replaced));
  ASSERT_EQ(0, stat((file + ".new").c_str(), &created));
  EXPECT_EQ(0640u, replaced.st_mode & 07777);
  EXPECT_EQ(0600u, created.st_mode & 07777);
  EXPECT_EQ(ReadFile(file), ReadFile(file + ".new"));
  EXPECT_EQ(Completed, Qsreg({"delete", "HKCU\\Keep", "/va", "/f"}).out);
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Keep\n\n", Qsreg({"query", "HKCU\\Keep"}).out);
}

}  // namespace
