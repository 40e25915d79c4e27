#include "app/arguments.h"

#include <gtest/gtest.h>
#include <string.h>

#include "support/messagebox.h"

namespace {

using Texts = std::vector<std::string>;
const char Limit[] = "Profile name is limited to 50 characters in length.";

std::string Usage(const std::string& p) {
  return "Usage:\n\nTo create/edit Quorvane Enterprise Server Agent MAPI profile:\n\t" + p +
         " -s [-p <Profile Name>]\n\nTo create/edit Quorvane Manager MAPI profile:\n\t" + p +
         " -m [-p <Profile Name>]\n\nTo create/edit Legacy Quorvane Enterprise Server "
         "Management MMC Snap-in MAPI profile:\n\t" +
         p +
         " -l [-p <Profile Name>]\n\nTo create/edit Quorvane Server Database Consistency "
         "Service MAPI profile:\n\t" +
         p + " -c [-p <Profile Name>]\n\nTo display this help:\n\t" + p + " -h";
}

// What a command line cannot carry to the end-to-end cases (tests/cases/cases.txt): no
// arguments at all, bytes a shell mangles, names beyond the buffer, a path beyond the formatter.
TEST(ParseArguments, EdgesTheEndToEndCasesCannotReach) {
  const std::string longPath(400, 'p');
  struct {
    std::vector<std::string> argv;  // the program path first, if any
    bool goesOn;
    std::string name;
    Texts shown;
  } cases[] = {
      {{}, false, "", {Usage("(null)")}},
      {{longPath}, false, "", {Usage(longPath).substr(0, 1023)}},
      {{"q", "-p", "\t\n\v\f\r x \r\n"}, true, "______x", {}},
      {{"q", "-p", " \t "}, true, "", {}},
      {{"q", "-p", "\xA0\x85X\xA0\x85"}, true, "\xA0\x85X\xA0\x85", {}},  // never whitespace
      {{"q", "-p", std::string(300, 'a')}, false, std::string(255, 'a'), {Limit}},
      {{"q", "-p", "a" + std::string(299, ' ')}, true, "a", {}},  // cut to 255, then trimmed
  };
  for (auto& c : cases) {
    Role = Agent;
    memset(ProfileName, 0, sizeof ProfileName);
    ClearShownBoxes();
    std::vector<char*> argv;
    for (std::string& a : c.argv) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string what = ::testing::PrintToString(c.argv);
    EXPECT_EQ(c.goesOn, ParseArguments((int)c.argv.size(), argv.data())) << what;
    EXPECT_EQ(c.name, ProfileName) << what;
    EXPECT_EQ(c.shown, ShownTexts()) << what;
  }
}

}  // namespace
