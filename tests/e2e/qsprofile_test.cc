// qsprofile driven as an administrator drives it on the embedded store: arguments, the
// Exchange dialog answered on stdin, the boxes read from stderr, the store read with qsreg.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/process.h"
#include "support/tempstore.h"

namespace {

const char Caption[] = "[Quorvane Server Profile]\n";
const char Profiles[] =
    "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging "
    "Subsystem\\Profiles\\";
const char* const RoleKeys[] = {
    "HKCU\\Software\\Tessivar\\Quorvane Enterprise Server\\Agents",
    "HKCU\\Software\\Tessivar\\Quorvane Enterprise Server\\Manager\\ExchangeAdaptor",
    "HKCU\\Software\\Tessivar\\Quorvane Enterprise Server\\Management",
    "HKCU\\Software\\Tessivar\\Quorvane Enterprise Server\\DBConsistency",
};
const char* const RoleSwitches[] = {"-s", "-m", "-l", "-c"};
const char* const Defaults[] = {"QuorvaneServer", "QuorvaneManager", "QuorvaneServer",
                                "QuorvaneServer"};
const char Complete[] = "srv01\njsmith\ncheck\n";

ProcessResult Qsprofile(std::vector<std::string> arguments, const std::string& input = "") {
  arguments.insert(arguments.begin(), QSPROFILE_PATH);
  ProcessResult result = RunProcess(arguments, input);
  EXPECT_EQ(0, result.exitCode) << result.err;
  return result;
}

ProcessResult Qsreg(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), QSREG_PATH);
  return RunProcess(arguments);
}

// The role's stored name, or "(none)".
std::string StoredName(int role) {
  ProcessResult r = Qsreg({"query", RoleKeys[role], "/v", "MAPIProfile"});
  const std::string marker = "REG_SZ    ";
  size_t at = r.out.find(marker);
  if (r.exitCode != 0 || at == std::string::npos) return "(none)";
  return r.out.substr(at + marker.size(), r.out.find('\n', at) - at - marker.size());
}

bool ProfileExists(const std::string& name) {
  return Qsreg({"query", Profiles + name}).exitCode == 0;
}

std::string ProfileDump(const std::string& name) {
  return Qsreg({"query", Profiles + name, "/s"}).out;
}

// The texts of the boxes a run showed, in order.
std::vector<std::string> Boxes(const std::string& err) {
  std::vector<std::string> texts;
  for (size_t at = err.find(Caption); at != std::string::npos; at = err.find(Caption, at)) {
    at += sizeof Caption - 1;
    size_t end = err.find("\n[OK]\n", at);
    if (end == std::string::npos) break;
    texts.push_back(err.substr(at, end - at));
    at = end;
  }
  return texts;
}

class QsprofileTest : public TempStoreTest {};

TEST_F(QsprofileTest, UsageAndLimitAreShownAndNothingIsStored) {
  ProcessResult r = Qsprofile({});
  ASSERT_EQ(1u, Boxes(r.err).size());
  EXPECT_EQ(0u, r.err.find(std::string(Caption) + "Usage:\n\nTo create/edit Quorvane")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(std::string("\t") + QSPROFILE_PATH + " -h\n[OK]\n"));

  r = Qsprofile({"-m", "-p", std::string(51, 'n')});
  EXPECT_EQ(std::vector<std::string>{"Profile name is limited to 50 characters in length."},
            Boxes(r.err));
  EXPECT_EQ("(none)", StoredName(1));
  EXPECT_FALSE(ProfileExists(std::string(51, 'n')));
}

TEST_F(QsprofileTest, AFirstRunPerRoleStoresTheRolesDefault) {
  for (int role = 0; role < 4; role++) {
    ProcessResult r = Qsprofile({RoleSwitches[role]}, Complete);
    EXPECT_TRUE(Boxes(r.err).empty()) << r.err;
    EXPECT_EQ(Defaults[role], StoredName(role));
    EXPECT_TRUE(ProfileExists(Defaults[role]));
  }
}

TEST_F(QsprofileTest, ANameGivenWithPIsProvisionedAndStored) {
  Qsprofile({"-m", "-p", "Sales Desk"}, Complete);
  EXPECT_EQ("Sales Desk", StoredName(1));
  EXPECT_TRUE(ProfileExists("Sales Desk"));
  EXPECT_FALSE(ProfileExists("QuorvaneManager"));
  // The next run without -p uses the stored name.
  Qsprofile({"-m"}, "\n\ncheck\n");
  EXPECT_FALSE(ProfileExists("QuorvaneManager"));
}

TEST_F(QsprofileTest, ANameSeededWithQsregIsNormalisedOrIgnored) {
  struct {
    const char* type;
    const char* data;
    const char* expected;
  } cases[] = {
      {"REG_SZ", "  x  ", "__x"},
      {"REG_SZ", "   ", "QuorvaneServer"},
      {"REG_DWORD", "7", "QuorvaneServer"},
      {"REG_EXPAND_SZ", "Sales", "QuorvaneServer"},
      {"REG_MULTI_SZ", "Sales\\0Desk", "QuorvaneServer"},
      {"REG_BINARY", "53616c6573", "QuorvaneServer"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    ASSERT_EQ(0, Qsreg({"add", RoleKeys[0], "/v", "MAPIProfile", "/t", c.type, "/d", c.data, "/f"})
                     .exitCode);
    Qsprofile({"-s"}, Complete);
    EXPECT_TRUE(ProfileExists(c.expected)) << c.type << " " << c.data;
    EXPECT_EQ(c.expected, StoredName(0)) << c.type << " " << c.data;
  }
}

TEST_F(QsprofileTest, OkWithoutCheckingIsCompletedByTheLogon) {
  ProcessResult r = Qsprofile({"-c"}, "srv01\njsmith\nok\n");
  EXPECT_TRUE(Boxes(r.err).empty()) << r.err;
  EXPECT_EQ("QuorvaneServer", StoredName(3));
  std::string dump = ProfileDump("QuorvaneServer");
  EXPECT_NE(std::string::npos, dump.find("/cn=Recipients/cn=jsmith")) << dump;
  EXPECT_NE(std::string::npos, dump.find("/cn=Servers/cn=srv01")) << dump;
}

// Cancelled, ended input, no home server after the logon, no Exchange provider installed.
TEST_F(QsprofileTest, AFailedRunLeavesNothingBehind) {
  const char* const noExchange = "[Services]\nOTHER=Other Service\n\n[OTHER]\n";
  struct {
    const char *input, *serviceList;
    std::vector<std::string> boxes;
  } cases[] = {
      {"srv01\njsmith\ncancel\n", nullptr, {}},
      {"", nullptr, {}},
      {"srv01\n", nullptr, {}},
      {"srv01\njsmith\n", nullptr, {}},
      {"srv01\njsmith\nmaybe\n", nullptr, {}},
      {"\njsmith\nok\n", nullptr, {}},
      {Complete, noExchange, {"Unable to find Exchange Server MAPI component"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    TearDown();
    SetUp();
    if (c.serviceList) {
      ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
      WriteFile(storeDir() + "/mapisvc.inf", c.serviceList);
    }
    EXPECT_EQ(c.boxes, Boxes(Qsprofile({"-m"}, c.input).err));
    EXPECT_FALSE(ProfileExists("QuorvaneManager"));
    EXPECT_EQ("(none)", StoredName(1));
  }
}

TEST_F(QsprofileTest, ASecondRunEditsTheExistingProfile) {
  Qsprofile({"-l"}, Complete);
  ASSERT_TRUE(ProfileExists("QuorvaneServer"));
  ProcessResult r = Qsprofile({"-l"}, "srv02\n\ncheck\n");
  EXPECT_TRUE(Boxes(r.err).empty()) << r.err;
  std::string dump = ProfileDump("QuorvaneServer");
  EXPECT_NE(std::string::npos, dump.find("/cn=Servers/cn=srv02")) << dump;
  EXPECT_NE(std::string::npos, dump.find("/cn=Recipients/cn=jsmith")) << dump;
  EXPECT_EQ("QuorvaneServer", StoredName(2));

  // Cancelling an edit keeps the existing profile and its stored name.
  Qsprofile({"-l"}, "cancel-me\n\ncancel\n");
  EXPECT_TRUE(ProfileExists("QuorvaneServer"));
  EXPECT_EQ("QuorvaneServer", StoredName(2));
}

TEST_F(QsprofileTest, ACorruptStoreIsReportedAndLeftAsItWas) {
  ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
  const std::string garbage(8192, '\x17');
  WriteFile(storePath(), garbage);
  ProcessResult r = Qsprofile({"-m"}, Complete);
  EXPECT_NE(std::string::npos, r.err.find(storePath())) << r.err;
  EXPECT_EQ(garbage, ReadFile(storePath()));
}

}  // namespace
