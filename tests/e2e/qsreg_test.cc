// Drives the built qsreg as an administrator would, on a store of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST_F(QsregTest, ExportWritesOnlyARegularFileOrStandardOutput) {
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\K", "/v", "v", "/d", "1"}).exitCode);
  ProcessResult piped = Qsreg({"export", "HKCU\\K", "-"});
  EXPECT_EQ("REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"v\"=\"1\"\n\n", piped.out);
  EXPECT_EQ(0, piped.exitCode);

  const std::string dir = configHome + "/targets/", file = dir + "file";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
  WriteFile(file, "mine");
  ASSERT_EQ(0, mkfifo((dir + "fifo").c_str(), 0600));
  ASSERT_EQ(0, mkdir((dir + "folder").c_str(), 0700));
  ASSERT_EQ(0, symlink(file.c_str(), (dir + "link").c_str()));
  ASSERT_EQ(0, symlink((dir + "none").c_str(), (dir + "dangling").c_str()));
  const struct {
    std::string path;
    const char* kind;
    mode_t type;  // what it must stay
  } cases[] = {
      {"/dev/null", "a device", S_IFCHR},
      {dir + "fifo", "a FIFO", S_IFIFO},
      {dir + "folder", "a folder", S_IFDIR},
      {dir + "link", "a symbolic link", S_IFLNK},
      {dir + "dangling", "a symbolic link", S_IFLNK},
  };
  for (const auto& c : cases) {
    ProcessResult result = Qsreg({"export", "HKCU\\K", c.path, "/y"});
    ExpectOneError(result, c.path);
    EXPECT_NE(std::string::npos, result.err.find(c.kind)) << result.err;
    struct stat st;
    ASSERT_EQ(0, lstat(c.path.c_str(), &st)) << c.path;
    EXPECT_EQ(c.type, st.st_mode & S_IFMT) << c.path;
  }
  EXPECT_EQ("mine", ReadFile(file));
  EXPECT_EQ("dangling\nfifo\nfile\nfolder\nlink\n", RunProcess({"/bin/ls", "-A", dir}).out);
}

TEST_F(QsregTest, ExportRefusesNamesThatWouldReadBackAsOthers) {
  const std::string file = configHome + "/out.reg";
  const struct {
    std::string key, value;
    const char* named;  // how the error shows the name
  } cases[] = {
      {"HKCU\\Inject", "x\n[HKEY_CURRENT_USER\\Evil]\n\"y", "x\\n[HKEY_CURRENT_USER\\Evil]\\n"},
      {"HKCU\\Return", "a\rb", "a\\rb"},
      {"HKCU\\Br]acket", "", "HKEY_CURRENT_USER\\Br]acket"},
      {"HKCU\\Line\nBreak", "", "HKEY_CURRENT_USER\\Line\\nBreak"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(0, Qsreg({"add", c.key, "/v", c.value, "/d", "1"}).exitCode);
    for (const char* target : {"-", file.c_str()}) {
      ProcessResult result = Qsreg({"export", "HKCU", target, "/y"});
      ExpectOneError(result, c.named);
      EXPECT_NE(std::string::npos, result.err.find(c.named)) << result.err;
    }
    EXPECT_NE(0, access(file.c_str(), F_OK)) << "nothing written for " << c.named;
    ASSERT_EQ(0, Qsreg({"delete", c.key, "/f"}).exitCode);
  }
}

// The store as a listing and as an export, to compare two stores by.
std::string Contents() {
  return Qsreg({"query", "HKCU", "/s"}).out + Qsreg({"export", "HKCU", "-"}).out;
}

TEST_F(QsregTest, ImportGivesBackWhatExportWrote) {
  const std::vector<std::vector<std::string>> adds = {
      {"HKCU\\Odd\\sp ace ", "/v", " q\"uote\\ ", "/d", "C:\\dir\\"},
      {"HKCU\\Odd\\-dash;[x", "/v", "@", "/d", "say \"hi\""},
      {"HKCU\\Odd\\=\xc3\xa9\xff", "/v", ";[=-\t\x01\xff", "/d", "a\nb"},
      {"HKCU\\Odd", "/ve", "/t", "REG_EXPAND_SZ", "/d", "%P%"},
      {"HKCU\\Odd", "/v", "m", "/t", "REG_MULTI_SZ", "/d", "a\\0b"},
      {"HKCU\\Odd", "/v", "d", "/t", "REG_DWORD", "/d", "0xfffffffe"},
      {"HKCU\\Odd", "/v", "q", "/t", "REG_QWORD", "/d", "0x123456789"},
      {"HKCU\\Odd", "/v", "b", "/t", "REG_BINARY", "/d", std::string(400, 'a')},
      {"HKCU\\Odd", "/v", "n", "/t", "REG_NONE"},
      {"HKCU\\Odd", "/v", "e", "/d", ""},
      {"HKCU\\Empty"},
  };
  for (auto args : adds) {
    args.insert(args.begin(), "add");
    ASSERT_EQ(0, Qsreg(args).exitCode) << testing::PrintToString(args);
  }
  // Data add cannot make: a string without its terminator, a short dword, a type of no name.
  const std::string seed = configHome + "/seed.reg";
  WriteFile(seed,
            "REGEDIT4\n[HKEY_CURRENT_USER\\Odd]\n\"s\"=hex(1):61\n\"w\"=hex(4):01,02,03\n"
            "\"t\"=hex(12345678):ff\n");
  ASSERT_EQ(Completed, Qsreg({"import", seed}).out);

  const std::string before = Contents(), file = configHome + "/all.reg";
  ASSERT_EQ(0, Qsreg({"export", "HKCU", file}).exitCode);
  RemoveTree(storeDir());
  EXPECT_EQ(Completed, Qsreg({"import", file}).out);
  EXPECT_EQ(before, Contents());
  EXPECT_EQ(ReadFile(file), Qsreg({"export", "HKCU", "-"}).out);

  // The restore the README gives: the store emptied and refilled in one import.
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Odd\\Later", "/v", "m", "/d", "x", "/f"}).exitCode);
  WriteFile(file, "REGEDIT4\n[-HKEY_CURRENT_USER]\n" + ReadFile(file).substr(9));
  EXPECT_EQ(Completed, Qsreg({"import", file}).out);
  EXPECT_EQ(before, Contents());
}

TEST_F(QsregTest, ImportReadsTheFilesWindowsWrites) {
  // A UTF-16 string of ASCII text and é, as the Windows registry editor writes it.
  auto utf16 = [](const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (char c : ascii) out += c == '~' ? std::string("\xe9\0", 2) : std::string{c, '\0'};
    return out;
  };
  const struct {
    std::string file;
    const char* exported;  // HKCU\W afterwards, which held "x" and W\Old before
  } cases[] = {
      {utf16("Windows Registry Editor Version 5.00\r\n\r\n; note\r\n"
             "[HKEY_CURRENT_USER\\W]\r\n@=\"d~\"\r\n\"e\"=hex(2):25,00,e9,00,\\\r\n  00,00\r\n"
             "\"x\"=-\r\n[-HKEY_CURRENT_USER\\W\\Old]\r\n"),
       "[HKEY_CURRENT_USER\\W]\n@=\"d\xc3\xa9\"\n\"e\"=hex(2):25,c3,a9,00\n"},
      {"\xef\xbb\xbfREGEDIT4\n[hkcu\\w]\n\"x\"=DWORD:1f\n  \"m\" = hex(7):61,00,\\\n 00\n",
       "[HKEY_CURRENT_USER\\W]\n\"x\"=dword:0000001f\n\"m\"=hex(7):61,00,00\n\n"
       "[HKEY_CURRENT_USER\\W\\Old]\n"},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\W]\n\"x\"=hex(1):e9,00,00,00\n"
       "\"b\"=hex:e9,00\n",
       "[HKEY_CURRENT_USER\\W]\n\"x\"=\"\xc3\xa9\"\n\"b\"=hex:e9,00\n\n[HKEY_CURRENT_USER\\W\\Old]"
       "\n"},
  };
  const std::string file = configHome + "/w.reg";
  for (const auto& c : cases) {
    ASSERT_EQ(0, Qsreg({"add", "HKCU\\W", "/v", "x", "/d", "old", "/f"}).exitCode);
    ASSERT_EQ(0, Qsreg({"add", "HKCU\\W\\Old"}).exitCode);
    WriteFile(file, c.file);
    EXPECT_EQ(Completed, Qsreg({"import", file}).out) << c.exported;
    EXPECT_EQ(std::string("REGEDIT4\n\n") + c.exported + "\n",
              Qsreg({"export", "HKCU\\W", "-"}).out);
    ASSERT_EQ(0, Qsreg({"delete", "HKCU\\W", "/f"}).exitCode);
  }
}

TEST_F(QsregTest, ImportIsAllOrNothingAndNamesTheLine) {
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Keep", "/v", "v", "/d", "1"}).exitCode);
  const std::string before = Contents(), file = configHome + "/bad.reg";
  const std::string four =
      "REGEDIT4\n[HKCU\\A]\n\"a\"=\"1\"\n[HKCU\\B]\n[-HKCU\\Keep]\n[HKCU\\C]\n";
  const struct {
    std::string text;
    const char* error;  // after "FILE:"
  } cases[] = {
      {four + "[HKCU\\D]\n\"" + std::string(16384, 'v') + "\"=\"x\"\n",
       "8: The value name is longer than 16383 characters."},
      {four + "[HKEY_LOCAL_MACHINE\\Software]\n", "7: Only HKEY_CURRENT_USER"},
      {four + "[HKCU\\D]x\n", "7: "},
      {four + "[HKCU\\D]\n\"a\"=\"1\n", "8: "},
      {four + "[HKCU\\D]\n\"a\\q\"=\"1\"\n", "8: "},
      {four + "[HKCU\\D]\n\"a\"=hex:1g\n", "8: "},
      {four + "[HKCU\\D]\n\"a\"=dword:123456789\n", "8: "},
      {four + "[HKCU\\D]\n\"a\"=hex:01,\\\n", "8: "},
      {four + "[HKCU\\D]\nnonsense\n", "8: "},
      {"REGEDIT4\n\"a\"=\"1\"\n", "2: "},
      {"REGEDIT5\n", "1: "},
  };
  for (const auto& c : cases) {
    WriteFile(file, c.text);
    ProcessResult result = Qsreg({"import", file});
    ExpectOneError(result, c.error);
    EXPECT_EQ(0u, result.err.find("ERROR: " + file + ":" + c.error)) << result.err;
    EXPECT_EQ(before, Contents()) << c.error;
  }
}

TEST_F(QsregTest, AddThatFailsLeavesNoKeysAndSaysWhy) {
  std::string deep = "HKCU\\New";
  for (int i = 0; i < 512; i++) deep += "\\k";
  const struct {
    std::string key, value;
    const char* error;
  } cases[] = {
      {"HKCU\\New\\Deeper", std::string(16384, 'v'),
       "The value name is longer than 16383 characters."},
      {deep, "v", "The key is more than 512 levels deep."},
  };
  const std::string before = Contents();
  for (const auto& c : cases) {
    ProcessResult result = Qsreg({"add", c.key, "/v", c.value, "/d", "x", "/f"});
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ(std::string("ERROR: ") + c.error + "\n", result.err);
    EXPECT_EQ(before, Contents()) << c.error;
  }
}

}  // namespace
