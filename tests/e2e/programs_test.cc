// Drives the built programs as an administrator would, on a store of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <tuple>

#include "support/tempstore.h"
#include "tools/qsreg-text.h"

namespace {

struct ProcessResult {
  int exitCode;  // -1 when the program was killed by a signal
  std::string out, err;
};

// What else happens once stderr shows `when`: `signal` is sent (stdin then stays open after the
// input, as a terminal's would), or then() runs before the input is given. stderr goes to the
// test, is closed (2>&-), or goes to a pipe nobody reads.
struct ProcessControl {
  int signal = 0;
  std::string when;
  enum class Stderr { Collected, Closed, ReaderGone } stderrIs = Stderr::Collected;
  std::function<void()> then = {};
};

// Runs a program (argv[0] its path) as a user would from a shell: with arguments, text on its
// standard input (which must fit in a pipe's buffer), and the test's environment (so its
// XDG_CONFIG_HOME), and collects what it printed.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const ProcessControl& control = {}) {
  using Stderr = ProcessControl::Stderr;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) abort();
  // The input goes into the pipe whole, so that writing it cannot wait for the program.
  if (input.size() > (size_t)fcntl(in[1], F_GETPIPE_SZ)) abort();
  // ReaderGone: no reader from the start, so the program's first write to stderr breaks the pipe.
  if (control.stderrIs != Stderr::Collected) close(err[0]), err[0] = -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(in[0], 0), dup2(out[1], 1);
    control.stderrIs == Stderr::Closed ? close(2) : dup2(err[1], 2);
    signal(SIGPIPE, SIG_DFL);  // as a shell starts it, whatever the test's own disposition
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]), close(out[1]), close(err[1]);
  signal(SIGPIPE, SIG_IGN);  // the program may end before it reads its input
  auto feed = [&] {
    [[maybe_unused]] ssize_t written = write(in[1], input.data(), input.size());
    if (!control.signal) close(in[1]), in[1] = -1;
  };
  if (!control.then) feed();
  // Drain both outputs together, so that neither can block the program.
  ProcessResult result = {-1, "", ""};
  bool armed = control.signal || control.then;  // until stderr shows `when`
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) (i == 0 ? result.out : result.err).append(buffer, n);
      if (n <= 0) close(fds[i].fd), fds[i].fd = -1;
    }
    if (armed && result.err.find(control.when) != std::string::npos) {
      armed = false;
      if (control.then) control.then(), feed();
      if (control.signal) kill(pid, control.signal);
    }
  }
  if (in[1] >= 0) close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

const char Completed[] = "The operation completed successfully.\n";
const char Header[] = "Windows Registry Editor Version 5.00\n\n";
const auto npos = std::string::npos;

ProcessResult Qsreg(std::vector<std::string> args, const std::string& input = "") {
  return args.insert(args.begin(), QSREG_PATH), RunProcess(args, input);
}

// One error line on stderr, "ERROR: " and then `error`, nothing on stdout, exit status 1.
void ExpectOneError(const ProcessResult& r, const std::string& error) {
  EXPECT_TRUE(r.exitCode == 1 && r.out.empty() && r.err.starts_with("ERROR: ") &&
              r.err.find(error) != npos && std::count(r.err.begin(), r.err.end(), '\n') == 1)
      << "status " << r.exitCode << ", wanted " << error << ": " << r.out << r.err;
}

// An export's text: UTF-16LE with a byte order mark and CRLF line ends, read back as UTF-8, LF.
std::string Text(const std::string& file) {
  std::string text;
  if (!file.starts_with("\xFF\xFE") || !AppendUtf8FromUtf16(file, 2, &text))
    return "(not UTF-16LE)";
  size_t lines = std::count(text.begin(), text.end(), '\n'), crlf = 0;
  for (size_t at = 0; (at = text.find("\r\n", at)) != npos; crlf++) text.erase(at, 1);
  return lines == crlf ? text : "(a line end without CR)";
}

class QsregTest : public TempStoreTest {
 protected:
  std::string Export(const std::string& key) { return Text(Qsreg({"export", key, "-"}).out); }
  // The store as a listing and as an export, to compare two stores by.
  std::string Contents() { return Qsreg({"query", "HKCU", "/s"}).out + Export("HKCU"); }
};

// Bad input, a change that would have to ask without a terminal to ask on, an add beyond the
// store's limits and an import file with a fault anywhere each get one error line, and change
// neither the store nor any file: an import takes effect whole or not at all.
TEST_F(QsregTest, BadInputGetsOneErrorLineAndChangesNothing) {
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Present", "/v", "v", "/d", "1"}).exitCode);
  const std::string file = configHome + "/keep.reg", before = Contents();
  WriteFile(file, "mine");
  ASSERT_EQ(0, mkdir((configHome + "/imports").c_str(), 0700));
  // An import file that fails after lines that created and deleted keys, named in its error.
  auto import = [&](const char* name, const std::string& text) {
    WriteFile(configHome + "/imports/bad-" + name, text);
    return std::vector<std::string>{"import", configHome + "/imports/bad-" + name};
  };
  const std::string four =
      "REGEDIT4\n[HKCU\\A]\n\"a\"=\"1\"\n[HKCU\\B]\n[-HKCU\\Present]\n[HKCU\\C]\n";
  std::string deep = "HKCU\\New";
  for (int i = 0; i < 512; i++) deep += "\\k";
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {import("limit", four + "[HKCU\\D]\n\"" + std::string(16384, 'v') + "\"=\"x\"\n"),
       "bad-limit:8: The value name is longer than 16383 bytes."},
      {import("root", four + "[HKEY_LOCAL_MACHINE\\Software]\n"),
       "bad-root:7: Only HKEY_CURRENT_USER"},
      {import("unended", four + "[HKCU\\D]\n\"a\"=hex:01,\\\n"), "bad-unended:8: "},
      {import("nonsense", four + "[HKCU\\D]\nnonsense\n"), "bad-nonsense:8: "},
      {import("keyless", "REGEDIT4\n\"a\"=\"1\"\n"), "bad-keyless:2: "},
      {import("header", "REGEDIT5\n"), "bad-header:1: "},
      {{"add", "HKCU\\New\\Deeper", "/v", std::string(16384, 'v'), "/d", "x", "/f"},
       "The value name is longer than 16383 bytes."},
      {{"add", deep, "/v", "v", "/d", "x", "/f"}, "The key is more than 512 levels deep."},
      // clang-format off
      {{}, ""}, {{"frobnicate", "HKCU\\Present"}, ""},
      {{"query", "HKLM\\Software"}, ""}, {{"query", "HKCU\\a\\\\b"}, ""},
      {{"query", "HKCU\\Missing"}, ""}, {{"query", "HKCU\\Present", "/v"}, ""},
      {{"add", "HKCU", "/v", "n", "/d", "x"}, ""}, {{"add", "HKCU\\New", "/ve", "/v", "x"}, ""},
      {{"add", "HKCU\\New", "/v", "n", "/t", "REG_FOO"}, ""},
      {{"add", "HKCU\\New", "/t", "REG_DWORD"}, ""}, {{"add", "HKCU\\New", "/ve", "/t", "REG_QWORD"}, ""},
      {{"add", "HKCU\\New", "/v", "n", "/t", "REG_BINARY", "/d", "0g"}, ""},
      {{"add", "HKCU\\New", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"}, ""},
      {{"add", "HKCU\\New", "/v", "n", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, ""},
      {{"add", "HKCU\\New", "/v", "n", "/t", "REG_MULTI_SZ", "/s", "ab", "/d", "a"}, ""},
      {{"add", "HKCU\\Present", "/v", "v", "/d", "new"}, ""}, {{"delete", "HKCU", "/f"}, ""},
      {{"delete", "HKCU\\Present", "/v", "v"}, ""}, {{"delete", "HKCU\\Present"}, ""},
      {{"export", "HKCU\\Present", file}, ""},
      {{"export", "HKCU\\Present", configHome + "/no/such/folder.reg"}, ""},
      // clang-format on
  };
  for (const auto& [args, error] : cases) {
    SCOPED_TRACE(testing::PrintToString(args).substr(0, 200));
    ExpectOneError(Qsreg(args, "yes\n"), error);
  }
  EXPECT_EQ(before, Contents());
  EXPECT_EQ("mine", ReadFile(file));
  EXPECT_EQ("imports\nkeep.reg\nqsprofile\n", RunProcess({"/bin/ls", "-A", configHome}).out);
}

// Each type as add takes it, query shows it and export writes it; a file as Windows writes it
// imported; all of it read back by import into an empty store and, as the README's restore does,
// into one that has changed since; and what each kind of delete takes.
TEST_F(QsregTest, ExportWritesEachTypeAndImportGivesItBack) {
  // What add takes after KEY /v NAME; type and data as query shows them; data as export writes it.
  const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
      // clang-format off
      {{"/d", "say \"hi\" C:\\x"}, "REG_SZ    say \"hi\" C:\\x", "\"say \\\"hi\\\" C:\\\\x\""},
      {{"/d", "a\nb"}, "REG_SZ    a\nb", "hex(1):61,00,0a,00,62,00,00,00"},  // not quotable
      {{"/d", "caf\xc3\xa9 \xe6\x97\xa5"}, "REG_SZ    caf\xc3\xa9 \xe6\x97\xa5",
       "\"caf\xc3\xa9 \xe6\x97\xa5\""},
      {{"/d", "\xe9t\xe9"}, "REG_SZ    \xe9t\xe9", "\"\xe9t\xe9\""},  // not UTF-8, yet kept
      {{"/t", "REG_EXPAND_SZ", "/d", "%P%;x"}, "REG_EXPAND_SZ    %P%;x",
       "hex(2):25,00,50,00,25,00,3b,00,78,00,00,00"},
      {{"/t", "REG_MULTI_SZ", "/d", "a\\0bc"}, "REG_MULTI_SZ    a\\0bc",
       "hex(7):61,00,00,00,62,00,63,00,00,00,00,00"},
      {{"-T", "reg_multi_sz", "-S", "\xc3\xa9", "-D", "a\xc3\xa9" "b\xc3\xa9"}, "REG_MULTI_SZ    a\\0b",
       "hex(7):61,00,00,00,62,00,00,00,00,00"},
      {{"/t", "REG_MULTI_SZ", "/d", "\\0"}, "REG_MULTI_SZ    ", "hex(7):00,00,00,00"},
      {{"/t", "REG_DWORD", "/d", "42"}, "REG_DWORD    0x2a", "dword:0000002a"},
      {{"/t", "REG_DWORD", "/d", "0XFFFFFFFF"}, "REG_DWORD    0xffffffff", "dword:ffffffff"},
      {{"/t", "REG_QWORD", "/d", "0x123456789"}, "REG_QWORD    0x123456789",
       "hex(b):89,67,45,23,01,00,00,00"},
      {{"/t", "REG_BINARY", "/d", "00ff10"}, "REG_BINARY    00FF10", "hex:00,ff,10"},
      {{"/t", "REG_BINARY", "/d", "abc"}, "REG_BINARY    0ABC", "hex:0a,bc"},
      {{"/t", "REG_BINARY", "/d", std::string(52, 'f')}, "REG_BINARY    " + std::string(52, 'F'),
       "hex:ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,\\\n  ff,ff,ff"},
      {{"/t", "REG_NONE"}, "REG_NONE    00", "hex(0):00"},
      {{"/t", "REG_NONE", "/d", "0a0b"}, "REG_NONE    3061306200", "hex(0):30,61,30,62,00"},
      // clang-format on
  };
  std::string shown = "\nHKEY_CURRENT_USER\\Types\n", exported = "[HKEY_CURRENT_USER\\Types]\n";
  int number = 0;
  for (const auto& [options, query, data] : cases) {
    std::string name = "n" + std::to_string(number++);
    std::vector<std::string> add = {"ADD", "hkey_current_user\\Types", "/v", name, "/f"};
    add.insert(add.end(), options.begin(), options.end());
    EXPECT_EQ(Completed, Qsreg(add).out) << query;
    shown += "    " + name + "    " + query + "\n";
    exported += "\"" + name + "\"=" + data + "\n";
  }
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Types", "/ve", "/d", "standard"}).exitCode);
  EXPECT_EQ(shown + "    (Default)    REG_SZ    standard\n\n", Qsreg({"query", "HKCU\\Types"}).out);
  EXPECT_EQ(std::string(Header) + exported + "@=\"standard\"\n\n", Export("HKCU\\Types"));
  // Without /v, /t and /d set the default value, which query shows as not set when it is not.
  EXPECT_EQ(Completed, Qsreg({"add", "HKCU\\Types\\Sub", "/t", "REG_DWORD", "/d", "5"}).out);
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Types\\Sub\n    (Default)    REG_DWORD    0x5\n\n",
            Qsreg({"query", "HKCU\\Types\\Sub", "/ve"}).out);
  ASSERT_EQ(0, Qsreg({"delete", "HKCU\\Types\\Sub", "/ve", "/f"}).exitCode);
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Types\\Sub\n    (Default)    REG_SZ    (value not set)\n\n",
            Qsreg({"query", "HKCU\\Types\\Sub", "/ve"}).out);
  // A file as the Windows registry editor writes it: UTF-16LE with CRLF, whose text and string
  // data become UTF-8 (here é), binary data kept as it is, a line that goes on, data add cannot
  // make (a string without its terminator, a short dword, a type of no name), and deletions.
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\W\\Old"}).exitCode);
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\W", "/v", "x", "/d", "old"}).exitCode);
  std::string windows = "\xff\xfe";
  for (char c :
       std::string("Windows Registry Editor Version 5.00\r\n\r\n; note\r\n[hkcu\\W]\r\n"
                   "@=\"d~\"\r\n\"e\"=hex(2):25,00,e9,00,\\\r\n  00,00\r\n\"b\"=hex:e9,00\r\n"
                   "\"s\"=hex(1):61,00\r\n\"w\"=hex(4):01,02,03\r\n\"t\"=hex(12345678):ff\r\n"
                   " \"x\" = -\r\n[-HKEY_CURRENT_USER\\W\\Old]\r\n"))
    windows += c == '~' ? std::string("\xe9\0", 2) : std::string{c, '\0'};
  const std::string file = configHome + "/all.reg";
  WriteFile(file, windows);
  ASSERT_EQ(Completed, Qsreg({"import", file}).out);
  EXPECT_EQ(
      std::string(Header) +
          "[HKEY_CURRENT_USER\\W]\n@=\"d\xc3\xa9\"\n\"e\"=hex(2):25,00,e9,00,00,00\n"
          "\"b\"=hex:e9,00\n\"s\"=hex(1):61,00\n\"w\"=hex(4):01,02,03\n\"t\"=hex(12345678):ff\n\n",
      Export("HKCU\\W"));
  // REGEDIT4 is 8-bit text in the code page of its writer: UTF-8 when it is valid UTF-8, and
  // otherwise Windows-1252, its strings in hex(1), hex(2) and hex(7) too.
  for (const char* e : {"\xc3\xa9", "\xe9"}) {
    WriteFile(file, std::string("REGEDIT4\n[HKCU\\W\\") + e + "]\n\"" + e + "\"=\"" + e +
                        (e[1] ? "\xe2\x82\xac" : "\x80") +
                        "\"\n\"x\"=hex(2):" + (e[1] ? "c3,a9" : "e9") + ",00\n");
    ASSERT_EQ(Completed, Qsreg({"import", file}).out) << e;
  }
  EXPECT_EQ(
      "\nHKEY_CURRENT_USER\\W\\\xc3\xa9\n    \xc3\xa9    REG_SZ    \xc3\xa9\xe2\x82\xac\n"
      "    x    REG_EXPAND_SZ    \xc3\xa9\n\n",
      Qsreg({"query", "HKCU\\W\\\xc3\xa9"}).out);
  ASSERT_EQ(0, Qsreg({"delete", "HKCU\\W\\\xc3\xa9", "/f"}).exitCode);
  EXPECT_TRUE(Qsreg({"query", "HKCU\\W"}).out.ends_with("\n\n"));  // and no other subkey
  const std::string before = Contents();
  ASSERT_EQ(0, Qsreg({"export", "HKCU", file, "/y"}).exitCode);
  RemoveTree(storeDir());
  EXPECT_EQ(Completed, Qsreg({"import", file}).out);
  EXPECT_EQ(before, Contents());
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\Types\\Since"}).exitCode);
  // The README's restore: the export after its header, behind a line that empties the store.
  std::string restore = "\xFF\xFE";
  AppendUtf16("Windows Registry Editor Version 5.00\n\n[-HKEY_CURRENT_USER]\n", true, &restore);
  WriteFile(file, restore + ReadFile(file).substr(78));
  EXPECT_EQ(Completed, Qsreg({"import", file}).out);
  EXPECT_EQ(before, Contents());
  // Delete takes one value, the default value, all values of a key but its subkeys, or a tree.
  EXPECT_EQ(Completed, Qsreg({"delete", "HKCU\\Types", "/v", "n0", "/f"}).out);
  EXPECT_EQ(Completed, Qsreg({"delete", "HKCU\\Types", "/ve", "/f"}).out);
  EXPECT_EQ(Completed, Qsreg({"delete", "HKCU\\Types", "/va", "/f"}).out);
  // A key without values gets no heading, in a /s walk only at the top.
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Types\\Sub\n", Qsreg({"query", "HKCU\\Types"}).out);
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Types\\Sub\n\n", Qsreg({"query", "HKCU\\Types", "/s"}).out);
  EXPECT_EQ(Completed, Qsreg({"delete", "HKCU\\Types", "/f"}).out);
  ExpectOneError(Qsreg({"query", "HKCU\\Types\\Sub"}), "");
}

// Export writes to stdout or a regular file: a new one private, a replaced one keeping its mode.
// Anything else is refused and left as it is, even with /y; so is a name that would not read back.
TEST_F(QsregTest, ExportWritesOnlyARegularFileOrStandardOutput) {
  ASSERT_EQ(0, Qsreg({"add", "HKCU\\K", "/v", "v", "/d", "1"}).exitCode);
  const std::string text = std::string(Header) + "[HKEY_CURRENT_USER\\K]\n\"v\"=\"1\"\n\n";
  EXPECT_EQ(text, Export("HKCU\\K"));
  const std::string dir = configHome + "/targets/", file = dir + "file";
  ASSERT_FALSE(mkdir(dir.c_str(), 0700) || mkfifo((dir + "fifo").c_str(), 0600) ||
               mkdir((dir + "folder").c_str(), 0700) ||
               symlink(file.c_str(), (dir + "link").c_str()) ||
               symlink((dir + "none").c_str(), (dir + "dangling").c_str()));
  WriteFile(file, "mine");
  chmod(file.c_str(), 0640);
  const std::pair<std::string, const char*> cases[] = {{"/dev/null", "a device"},
                                                       {dir + "fifo", "a FIFO"},
                                                       {dir + "folder", "a folder"},
                                                       {dir + "link", "a symbolic link"},
                                                       {dir + "dangling", "a symbolic link"}};
  for (const auto& [path, kind] : cases) {  // each stays what it was
    const std::filesystem::file_status was = std::filesystem::symlink_status(path);
    ExpectOneError(Qsreg({"export", "HKCU\\K", path, "/y"}), kind);
    EXPECT_TRUE(was == std::filesystem::symlink_status(path)) << path;
  }
  EXPECT_EQ("mine", ReadFile(file));
  EXPECT_EQ(Completed, Qsreg({"export", "HKCU\\K", file, "/y"}).out);
  EXPECT_EQ(Completed, Qsreg({"export", "HKCU\\K", dir + "new"}).out);
  for (auto [name, mode] : {std::pair{"file", 0640}, {"new", 0600}}) {
    const std::filesystem::file_status regular(std::filesystem::file_type::regular,
                                               std::filesystem::perms(mode));
    EXPECT_TRUE(regular == std::filesystem::symlink_status(dir + name)) << name;
    EXPECT_EQ(text, Text(ReadFile(dir + name)));
  }
  // A name that would read back as another is refused, naming it, and nothing is written.
  for (auto [key, value] :
       {std::pair{"HKCU\\Inject", "x\n[HKEY_CURRENT_USER\\Evil]\n\"y"}, {"HKCU\\Br]acket", ""}}) {
    ASSERT_EQ(0, Qsreg({"add", key, "/v", value, "/d", "1"}).exitCode);
    for (std::string target : {std::string("-"), dir + "injected"})
      ExpectOneError(Qsreg({"export", "HKCU", target, "/y"}), value[0] ? "x\\n[HKEY" : "Br]acket");
    ASSERT_EQ(0, Qsreg({"delete", key, "/f"}).exitCode);
  }
  EXPECT_EQ("dangling\nfifo\nfile\nfolder\nlink\nnew\n", RunProcess({"/bin/ls", "-A", dir}).out);
}

// qsprofile in what the shared case table (tests/cases) cannot set up: a store whose file is
// broken, a run that is interrupted, and a run whose stderr nobody reads.
const std::string Profiles =
    "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging "
    "Subsystem\\Profiles\\";
const std::string Agents = "HKCU\\Software\\Tessivar\\Quorvane Enterprise Server\\Agents";
using QsprofileTest = QsregTest;

TEST_F(QsprofileTest, ACorruptStoreIsReportedAndLeftAsItWas) {
  ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
  const std::string garbage(8192, '\x17');
  WriteFile(storePath(), garbage);
  ProcessResult r = RunProcess({QSPROFILE_PATH, "-m"}, "srv01\njsmith\ncheck\n");
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(npos, r.err.find(storePath())) << r.err;
  EXPECT_EQ(garbage, ReadFile(storePath()));
}

// An interrupt while the dialog waits for an answer (stdin open) ends the run as Cancel does: no
// profile, no name stored, a normal exit. Output nobody reads is dropped, and the run completes
// (each such run names a profile of its own, so that one cannot pass on what the other stored).
TEST_F(QsprofileTest, AnInterruptCancelsButAnUnreadStderrDoesNotStopTheRun) {
  using Stderr = ProcessControl::Stderr;
  // How the run is disturbed (without a signal it names its profile with -p), its answers, profile.
  const std::tuple<ProcessControl, const char*, const char*> cases[] = {
      {{SIGINT, "Microsoft Exchange server: "}, "", "QuorvaneServer"},
      {{SIGHUP, "Mailbox: "}, "srv01\n", "QuorvaneServer"},
      {{SIGQUIT, "Mailbox: "}, "srv01\n", "QuorvaneServer"},
      {{SIGTERM, "Check Name, OK or Cancel [check]: "}, "srv01\njsmith\n", "QuorvaneServer"},
      {{0, "", Stderr::Closed}, "srv01\njsmith\ncheck\n", "Closed"},
      {{0, "", Stderr::ReaderGone}, "srv01\njsmith\ncheck\n", "Gone"},
  };
  for (const auto& [control, answers, name] : cases) {
    const bool cancelled = control.signal != 0;
    SCOPED_TRACE(name + std::string(" ") + strsignal(control.signal));
    std::vector<std::string> args = {QSPROFILE_PATH, "-s"};
    if (!cancelled) args.insert(args.end(), {"-p", name});
    ProcessResult r = RunProcess(args, answers, control);
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(cancelled, r.err.find("Cancelled.") != npos) << r.err;
    const std::string stored = Qsreg({"query", Agents, "/v", "MAPIProfile"}).out,
                      profile = Qsreg({"query", Profiles + name, "/s"}).out;
    EXPECT_EQ(cancelled, (stored + profile).empty()) << stored << profile;
    EXPECT_TRUE(cancelled || stored.find(std::string("REG_SZ    ") + name) != npos) << stored;
    EXPECT_TRUE(cancelled || profile.find("cn=jsmith") != npos) << profile;
  }
}

// A second run on the profile a first one works on (waiting in its dialog) is refused at once with
// one message, whatever the case of its name, and changes nothing; a run on another profile goes
// on. The first run's cancel deletes only its own new profile. A run killed outright holds nothing.
TEST_F(QsprofileTest, ASecondRunOnTheSameProfileIsRefused) {
  auto refusal = [](const std::string& name) {
    return "[Quorvane Server Profile]\nThe (" + name +
           ") profile is being created or edited by another run of this program.\n"
           "Try again when that run has ended.\n[OK]\n";
  };
  int seconds = 0;
  ProcessControl control = {0, "Microsoft Exchange server: "};
  control.then = [&] {
    for (auto [role, name] : {std::pair{"-l", "Sales"}, {"-c", "SALES"}, {"-m", "Other"}}) {
      ProcessResult r = RunProcess({QSPROFILE_PATH, role, "-p", name}, "srvB\nuserB\ncheck\n");
      EXPECT_EQ(0, r.exitCode) << r.err;
      EXPECT_EQ(++seconds < 3, refusal(name) == r.err) << name << ": " << r.err;
    }
  };
  ProcessResult first =
      RunProcess({QSPROFILE_PATH, "-s", "-p", "Sales"}, "srvA\nuserA\ncancel\n", control);
  EXPECT_EQ(0, first.exitCode) << first.err;
  ASSERT_EQ(3, seconds);
  // Only the manager's name is stored.
  std::string stored = Qsreg({"query", "HKCU\\Software\\Tessivar", "/s"}).out;
  EXPECT_EQ(npos, stored.find("MAPIProfile", stored.find("MAPIProfile") + 1)) << stored;
  EXPECT_NE(npos, stored.find("MAPIProfile    REG_SZ    Other")) << stored;
  EXPECT_EQ("", Qsreg({"query", Profiles + "Sales"}).out);
  const std::vector<std::string> third = {QSPROFILE_PATH, "-c", "-p", "Sales"};
  EXPECT_EQ(-1, RunProcess(third, "", {SIGKILL, "Microsoft Exchange server: "}).exitCode);
  EXPECT_NE(refusal("Sales"), RunProcess(third, "srvC\nuserC\ncheck\n").err);
  EXPECT_NE(npos, Qsreg({"query", Profiles + "Sales", "/s"}).out.find("cn=userC"));
}

}  // namespace
