// qsprofile in what the shared case table (tests/cases) cannot set up: a store whose file is
// broken, a run that is interrupted, and a run whose stderr nobody reads.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/tempstore.h"

namespace {

const std::string Profiles =
    "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles";
const std::string AgentsKey = "HKCU\\Software\\Tessivar\\Quorvane Enterprise Server\\Agents";

class QsprofileTest : public TempStoreTest {
 protected:
  // What qsreg finds under a key, or the empty text when the key or value is not there.
  static std::string Query(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {QSREG_PATH, "query"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessResult r = RunProcess(argv);
    return r.exitCode == 0 ? r.out : "";
  }
};

TEST_F(QsprofileTest, ACorruptStoreIsReportedAndLeftAsItWas) {
  ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
  const std::string garbage(8192, '\x17');
  WriteFile(storePath(), garbage);
  ProcessResult r = RunProcess({QSPROFILE_PATH, "-m"}, "srv01\njsmith\ncheck\n");
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(storePath())) << r.err;
  EXPECT_EQ(garbage, ReadFile(storePath()));
}

// An interrupt while the dialog waits for an answer ends the run as Cancel does: the new profile
// is deleted, no name is stored, and the process exits normally.
TEST_F(QsprofileTest, AnInterruptInTheDialogCancels) {
  struct Case {
    int signal;
    const char* answers;  // typed before the interrupt; stdin stays open after them
    const char* when;
  } cases[] = {
      {SIGINT, "", "Microsoft Exchange server: "},
      {SIGHUP, "srv01\n", "Mailbox: "},
      {SIGTERM, "srv01\njsmith\n", "Check Name, OK or Cancel [check]: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(strsignal(c.signal));
    ProcessControl control;
    control.signal = c.signal;
    control.when = c.when;
    ProcessResult r = RunProcess({QSPROFILE_PATH, "-s"}, c.answers, control);
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Cancelled.")) << r.err;
    EXPECT_EQ("", Query({Profiles + "\\QuorvaneServer"}));
    EXPECT_EQ("", Query({AgentsKey, "/v", "MAPIProfile"}));
  }
}

// Output nobody reads is dropped; the run completes as it would have. Each run names a profile
// of its own, so that one cannot pass on what the other stored.
TEST_F(QsprofileTest, AnUnreadStderrDoesNotStopTheRun) {
  using Stderr = ProcessControl::Stderr;
  for (auto [stderrIs, name] :
       {std::pair{Stderr::Closed, "Closed"}, {Stderr::ReaderGone, "Gone"}}) {
    SCOPED_TRACE(name);
    ProcessControl control;
    control.stderrIs = stderrIs;
    ProcessResult r =
        RunProcess({QSPROFILE_PATH, "-s", "-p", name}, "srv01\njsmith\ncheck\n", control);
    EXPECT_EQ(0, r.exitCode);
    EXPECT_NE(std::string::npos,
              Query({AgentsKey, "/v", "MAPIProfile"}).find(std::string("REG_SZ    ") + name));
    EXPECT_NE(std::string::npos, Query({Profiles + "\\" + name, "/s"}).find("cn=jsmith"));
  }
}

}  // namespace
