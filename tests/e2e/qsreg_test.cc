// Drives the built qsreg as an administrator would, on a store of the test's own.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/tempstore.h"

namespace {

const char Completed[] = "The operation completed successfully.\n";

class QsregTest : public TempStoreTest {
 protected:
  static ProcessResult Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), QSREG_PATH);
    return RunProcess(args, input);
  }

  static void Add(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"add"};
    all.insert(all.end(), args.begin(), args.end());
    ProcessResult result = Run(all);
    ASSERT_EQ(0, result.exitCode) << result.err;
  }

  static std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (struct dirent* entry = readdir(d))
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
          names.push_back(entry->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

// One error line on stderr, nothing on stdout, exit status 1.
void ExpectOneError(const ProcessResult& result, const std::string& what) {
  EXPECT_EQ(1, result.exitCode) << what;
  EXPECT_EQ("", result.out) << what;
  EXPECT_EQ(0u, result.err.rfind("ERROR: ", 0)) << what << ": " << result.err;
  EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n'))
      << what << ": " << result.err;
}

// Runs qsreg with a terminal for its standard input and output, typing input there.
ProcessResult RunAtTerminal(const std::vector<std::string>& args, const std::string& input) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) || unlockpt(master)) abort();
  std::string slave = ptsname(master);
  std::vector<std::string> all = {QSREG_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int fd = open(slave.c_str(), O_RDWR);
    if (fd < 0) _exit(127);
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    close(master);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (write(master, input.data(), input.size()) != (ssize_t)input.size()) abort();
  ProcessResult result = {0, 0, "", ""};
  char buffer[4096];
  ssize_t n;
  while ((n = read(master, buffer, sizeof buffer)) > 0) result.out.append(buffer, n);
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST_F(QsregTest, BadInputGetsOneErrorLineAndChangesNothing) {
  Add({"HKCU\\Present", "/v", "v", "/d", "1"});
  std::string before = Run({"query", "HKCU", "/s"}).out;
  std::string longName(256, 'k');
  std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", "HKCU\\Present"},
      {"query"},
      {"query", "HKLM\\Software"},
      {"query", "Software\\Present"},
      {"query", "HKCU\\a\\\\b"},
      {"query", "HKCU\\" + longName},
      {"query", "HKCU\\Missing"},
      {"query", "HKCU\\Present", "/v", "missing"},
      {"query", "HKCU\\Present", "/ve"},
      {"query", "HKCU\\Present", "/s", "/v", "missing"},
      {"query", "HKCU\\Present", "/bogus"},
      {"query", "HKCU\\Present", "/v"},
      {"query", "HKCU\\Present", "/v", "a", "/ve"},
      {"query", "HKCU\\Present", "/t", "REG_SZ"},
      {"query", "HKCU\\Present", "extra"},
      {"add", "HKCU", "/v", "n", "/d", "x"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_FOO"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "0x100000000"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "0x"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_QWORD", "/d", "18446744073709551616"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_BINARY", "/d", "abc"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_BINARY", "/d", "zz"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
      {"add", "HKCU\\New", "/v", "n", "/t", "REG_MULTI_SZ", "/s", "ab", "/d", "a"},
      {"add", "HKCU\\New", "/v", "n", "/s", ",", "/d", "a"},
      {"add", "HKCU\\New", "/d", "x"},
      {"add", "HKCU\\New", "/v", "n", "/v", "m"},
      {"add", "HKCU\\New", "/v", "n", "/va"},
      {"delete", "HKCU\\Missing", "/f"},
      {"delete", "HKCU\\Present", "/v", "missing", "/f"},
      {"delete", "HKCU", "/f"},
      {"delete", "HKCU\\Present", "/y"},
      {"export", "HKCU\\Present"},
      {"export", "HKCU\\Missing", configHome + "/out.reg"},
      {"export", "HKCU\\Present", configHome},
      {"export", "HKCU\\Present", configHome + "/no/such/folder.reg"},
      {"export", "HKCU\\Present", "out.reg", "more"},
  };
  for (const auto& args : cases) {
    std::string what;
    for (const std::string& arg : args) what += arg + " ";
    ExpectOneError(Run(args), what);
  }
  EXPECT_EQ(before, Run({"query", "HKCU", "/s"}).out);
  EXPECT_EQ(std::vector<std::string>{"qsprofile"}, Entries(configHome));
}

TEST_F(QsregTest, HelpAndSpellingsOfOptions) {
  ProcessResult help = Run({"/?"});
  EXPECT_EQ(0, help.exitCode);
  EXPECT_NE(std::string::npos, help.out.find("QUERY | ADD | DELETE | EXPORT"));
  help = Run({"ADD", "-?"});
  EXPECT_EQ(0, help.exitCode);
  EXPECT_NE(std::string::npos, help.out.find("qsreg ADD KEY"));

  Add({"hkey_current_user\\Spelled", "-V", "Name", "/T", "reg_dword", "-D", "0X1F", "-F"});
  ProcessResult query = Run({"QuErY", "HkCu\\spelled", "/V", "name"});
  EXPECT_EQ(0, query.exitCode) << query.err;
  EXPECT_EQ("\nHKEY_CURRENT_USER\\spelled\n    Name    REG_DWORD    0x1f\n\n", query.out);
}

TEST_F(QsregTest, EachTypeRoundTripsThroughAddQueryExportAndDelete) {
  struct {
    std::vector<std::string> add;  // after KEY /v n
    const char* shown;             // type and data as query shows them
    const char* exported;          // the value's export line
  } cases[] = {
      {{"/d", "hello world"}, "REG_SZ    hello world", "\"n\"=\"hello world\""},
      {{}, "REG_SZ    ", "\"n\"=\"\""},
      {{"/t", "REG_SZ", "/d", "say \"hi\" C:\\x"},
       "REG_SZ    say \"hi\" C:\\x",
       "\"n\"=\"say \\\"hi\\\" C:\\\\x\""},
      {{"/t", "REG_EXPAND_SZ", "/d", "%P%;x"},
       "REG_EXPAND_SZ    %P%;x",
       "\"n\"=hex(2):25,50,25,3b,78,00"},
      {{"/t", "REG_MULTI_SZ", "/d", "a\\0bc"},
       "REG_MULTI_SZ    a\\0bc",
       "\"n\"=hex(7):61,00,62,63,00,00"},
      {{"/t", "REG_MULTI_SZ", "/s", ",", "/d", "a,b,"},
       "REG_MULTI_SZ    a\\0b",
       "\"n\"=hex(7):61,00,62,00,00"},
      {{"/t", "REG_DWORD", "/d", "42"}, "REG_DWORD    0x2a", "\"n\"=dword:0000002a"},
      {{"/t", "REG_DWORD", "/d", "0xFFFFFFFF"}, "REG_DWORD    0xffffffff", "\"n\"=dword:ffffffff"},
      {{"/t", "REG_QWORD", "/d", "0x123456789"},
       "REG_QWORD    0x123456789",
       "\"n\"=hex(b):89,67,45,23,01,00,00,00"},
      {{"/t", "REG_BINARY", "/d", "00ff10"}, "REG_BINARY    00FF10", "\"n\"=hex:00,ff,10"},
      {{"/t", "REG_NONE"}, "REG_NONE    ", "\"n\"=hex(0):"},
  };
  std::string file = configHome + "/value.reg";
  for (const auto& c : cases) {
    std::vector<std::string> add = {"add", "HKCU\\Types", "/v", "n", "/f"};
    add.insert(add.end(), c.add.begin(), c.add.end());
    ProcessResult result = Run(add);
    ASSERT_EQ(0, result.exitCode) << c.shown << ": " << result.err;
    EXPECT_EQ(Completed, result.out);
    result = Run({"query", "HKCU\\Types", "/v", "n"});
    EXPECT_EQ(std::string("\nHKEY_CURRENT_USER\\Types\n    n    ") + c.shown + "\n\n", result.out);
    result = Run({"export", "HKCU\\Types", file, "/y"});
    EXPECT_EQ(Completed, result.out) << result.err;
    EXPECT_EQ(std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\Types]\n") + c.exported + "\n\n",
              ReadFile(file));
  }
  ASSERT_EQ(0, Run({"delete", "HKCU\\Types", "/v", "N", "/f"}).exitCode);
  ExpectOneError(Run({"query", "HKCU\\Types", "/v", "n"}), "deleted value");

  // The default value.
  Add({"HKCU\\Types", "/ve", "/d", "standard"});
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Types\n    (Default)    REG_SZ    standard\n\n",
            Run({"query", "HKCU\\Types", "/ve"}).out);
  ASSERT_EQ(0, Run({"export", "HKCU\\Types", file, "/y"}).exitCode);
  EXPECT_EQ("REGEDIT4\n\n[HKEY_CURRENT_USER\\Types]\n@=\"standard\"\n\n", ReadFile(file));
  ASSERT_EQ(0, Run({"delete", "HKCU\\Types", "/ve", "/f"}).exitCode);
  ExpectOneError(Run({"query", "HKCU\\Types", "/ve"}), "deleted default value");
}

TEST_F(QsregTest, QueryListsValuesThenSubkeysAndRecursesWithS) {
  Add({"HKCU\\Tree", "/v", "a", "/d", "1"});
  Add({"HKCU\\Tree", "/v", "b", "/t", "REG_DWORD", "/d", "2"});
  Add({"HKCU\\Tree\\Sub", "/v", "c", "/d", "3"});
  Add({"HKCU\\Tree\\Sub\\Deep", "/v", "a", "/d", "4"});
  Add({"HKCU\\Tree\\Empty"});
  EXPECT_EQ(
      "\nHKEY_CURRENT_USER\\Tree\n    a    REG_SZ    1\n    b    REG_DWORD    0x2\n\n"
      "HKEY_CURRENT_USER\\Tree\\Empty\nHKEY_CURRENT_USER\\Tree\\Sub\n",
      Run({"query", "HKCU\\Tree"}).out);
  EXPECT_EQ(
      "\nHKEY_CURRENT_USER\\Tree\n    a    REG_SZ    1\n    b    REG_DWORD    0x2\n"
      "\nHKEY_CURRENT_USER\\Tree\\Empty\n"
      "\nHKEY_CURRENT_USER\\Tree\\Sub\n    c    REG_SZ    3\n"
      "\nHKEY_CURRENT_USER\\Tree\\Sub\\Deep\n    a    REG_SZ    4\n\n",
      Run({"query", "HKCU\\Tree", "/s"}).out);
  EXPECT_EQ(
      "\nHKEY_CURRENT_USER\\Tree\n    a    REG_SZ    1\n"
      "\nHKEY_CURRENT_USER\\Tree\\Sub\\Deep\n    a    REG_SZ    4\n\n",
      Run({"query", "HKCU\\Tree", "/s", "/v", "a"}).out);

  // /va empties the key and keeps its subkeys; deleting the key takes everything.
  ASSERT_EQ(0, Run({"delete", "HKCU\\Tree", "/va", "/f"}).exitCode);
  EXPECT_EQ(
      "\nHKEY_CURRENT_USER\\Tree\n\nHKEY_CURRENT_USER\\Tree\\Empty\nHKEY_CURRENT_USER\\Tree\\Sub\n",
      Run({"query", "HKCU\\Tree"}).out);
  ProcessResult result = Run({"delete", "HKCU\\Tree", "/f"});
  EXPECT_EQ(Completed, result.out);
  ExpectOneError(Run({"query", "HKCU\\Tree\\Sub\\Deep"}), "deleted tree");
}

TEST_F(QsregTest, ChangesNeedForceOrATerminalAnswer) {
  Add({"HKCU\\Keep", "/v", "v", "/d", "old"});
  std::string file = configHome + "/keep.reg";
  WriteFile(file, "mine");
  const std::string old = "\nHKEY_CURRENT_USER\\Keep\n    v    REG_SZ    old\n\n";

  // Without a terminal a change that would ask is refused, even with an answer on stdin.
  ExpectOneError(Run({"add", "HKCU\\Keep", "/v", "v", "/d", "new"}, "yes\n"), "add");
  ExpectOneError(Run({"delete", "HKCU\\Keep", "/v", "v"}, "yes\n"), "delete value");
  ExpectOneError(Run({"delete", "HKCU\\Keep", "/va"}, "yes\n"), "delete values");
  ExpectOneError(Run({"delete", "HKCU\\Keep"}, "yes\n"), "delete key");
  ExpectOneError(Run({"export", "HKCU\\Keep", file}, "yes\n"), "export");
  EXPECT_EQ(old, Run({"query", "HKCU\\Keep"}).out);
  EXPECT_EQ("mine", ReadFile(file));

  // At a terminal the answer decides; anything else is asked again.
  ProcessResult no = RunAtTerminal({"add", "HKCU\\Keep", "/v", "v", "/d", "new"}, "maybe\nno\n");
  EXPECT_EQ(1, no.exitCode);
  EXPECT_EQ(2, (int)std::count(no.out.begin(), no.out.end(), '?')) << no.out;
  EXPECT_NE(std::string::npos, no.out.find("Value v exists, overwrite(Yes/No)?")) << no.out;
  EXPECT_EQ(old, Run({"query", "HKCU\\Keep"}).out);
  ProcessResult yes = RunAtTerminal({"add", "HKCU\\Keep", "/v", "v", "/d", "new"}, "Yes\n");
  EXPECT_EQ(0, yes.exitCode) << yes.out;
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Keep\n    v    REG_SZ    new\n\n",
            Run({"query", "HKCU\\Keep"}).out);
  yes = RunAtTerminal({"export", "HKCU\\Keep", file}, "y\n");
  EXPECT_NE(std::string::npos, yes.out.find("already exists. Overwrite (Yes/No)?")) << yes.out;
  EXPECT_EQ(0, (int)ReadFile(file).find("REGEDIT4\n"));
  yes = RunAtTerminal({"delete", "HKCU\\Keep"}, "yes\n");
  EXPECT_NE(std::string::npos,
            yes.out.find("Permanently delete the registry key HKEY_CURRENT_USER\\Keep (Yes/No)?"));
  EXPECT_EQ(0, yes.exitCode) << yes.out;
  ExpectOneError(Run({"query", "HKCU\\Keep"}), "deleted at the terminal");

  // /f and /y change without asking.
  Add({"HKCU\\Keep", "/v", "v", "/d", "first"});
  Add({"HKCU\\Keep", "/v", "v", "/d", "second", "/f"});
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Keep\n    v    REG_SZ    second\n\n",
            Run({"query", "HKCU\\Keep"}).out);
}

TEST_F(QsregTest, ExportWritesTheWholeTreeOrNothing) {
  Add({"HKCU\\Exp", "/ve", "/d", "top"});
  Add({"HKCU\\Exp", "/v", "q\"uote", "/d", "a\\b\"c"});
  Add({"HKCU\\Exp\\Sub", "/v", "n", "/t", "REG_DWORD", "/d", "7"});
  Add({"HKCU\\Exp\\Sub\\Deeper", "/v", "b", "/t", "REG_BINARY", "/d", "0102"});
  std::string folder = configHome + "/exports";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  std::string file = folder + "/tree.reg";
  ProcessResult result = Run({"export", "HKCU\\Exp", file});
  EXPECT_EQ(Completed, result.out) << result.err;
  EXPECT_EQ(
      "REGEDIT4\n\n"
      "[HKEY_CURRENT_USER\\Exp]\n@=\"top\"\n\"q\\\"uote\"=\"a\\\\b\\\"c\"\n\n"
      "[HKEY_CURRENT_USER\\Exp\\Sub]\n\"n\"=dword:00000007\n\n"
      "[HKEY_CURRENT_USER\\Exp\\Sub\\Deeper]\n\"b\"=hex:01,02\n\n",
      ReadFile(file));

  // A new file is private like the store; a replaced one keeps its permissions.
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  chmod(file.c_str(), 0640);
  ASSERT_EQ(0, Run({"export", "HKCU\\Exp", file, "/y"}).exitCode);
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);

  // A failed export leaves the old file as it was and no temporary file beside it.
  std::string before = ReadFile(file);
  ExpectOneError(Run({"export", "HKCU\\Missing", file, "/y"}), "missing key");
  EXPECT_EQ(before, ReadFile(file));
  EXPECT_EQ(std::vector<std::string>{"tree.reg"}, Entries(folder));

  // A string that its quoted form would not give back byte for byte is written as hex.
  Add({"HKCU\\Odd", "/v", "line", "/d", "a\nb"});
  ASSERT_EQ(0, Run({"export", "HKCU\\Odd", file, "/y"}).exitCode);
  EXPECT_EQ("REGEDIT4\n\n[HKEY_CURRENT_USER\\Odd]\n\"line\"=hex(1):61,0a,62,00\n\n",
            ReadFile(file));
}

TEST_F(QsregTest, ABrokenStoreIsAnErrorAndStaysAsItWas) {
  ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
  const std::string garbage(3000, 'g');
  WriteFile(storePath(), garbage);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"query", "HKCU\\Software"},
        std::vector<std::string>{"add", "HKCU\\Software", "/v", "v", "/d", "x", "/f"},
        std::vector<std::string>{"delete", "HKCU\\Software", "/f"}}) {
    ProcessResult result = Run(args);
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("qsreg: registry store " + storePath() +
                  ": file is not a database\n"
                  "ERROR: The configuration registry database is corrupt.\n",
              result.err);
  }
  EXPECT_TRUE(ReadFile(storePath()) == garbage);
}

}  // namespace
