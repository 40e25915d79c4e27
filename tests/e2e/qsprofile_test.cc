// qsprofile on a store it cannot use: what the shared case table (tests/cases) cannot set up,
// since it needs the store's file itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/process.h"
#include "support/tempstore.h"

namespace {

class QsprofileTest : public TempStoreTest {};

TEST_F(QsprofileTest, ACorruptStoreIsReportedAndLeftAsItWas) {
  ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
  const std::string garbage(8192, '\x17');
  WriteFile(storePath(), garbage);
  ProcessResult r = RunProcess({QSPROFILE_PATH, "-m"}, "srv01\njsmith\ncheck\n");
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(storePath())) << r.err;
  EXPECT_EQ(garbage, ReadFile(storePath()));
}

}  // namespace
