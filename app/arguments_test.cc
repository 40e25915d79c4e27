#include "app/arguments.h"

#include <gtest/gtest.h>
#include <string.h>

#include "support/messagebox.h"

namespace {

using Texts = std::vector<std::string>;
const char Program[] = "C:\\Tools\\qsprofile.exe";
const char Limit[] = "Profile name is limited to 50 characters in length.";

// The usage text as the administrator sees it, with the program path in its five places.
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

// Parses a command line (the program path first) from a fresh start.
bool Parse(std::vector<std::string> arguments) {
  Role = Agent;
  memset(ProfileName, 0, sizeof ProfileName);
  ClearShownBoxes();
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  return ParseArguments((int)argv.size(), argv.data());
}

TEST(ParseArguments, SwitchesNamesAndUsage) {
  const Texts usage = {Usage(Program)};
  const std::string n49(49, 'n'), n50(50, 'n'), n51(51, 'n');
  struct {
    std::vector<std::string> arguments;  // after the program path
    bool goesOn;
    ServerRole role;
    std::string name;
    Texts shown;
  } cases[] = {
      {{}, false, Agent, "", usage},
      {{"-h"}, false, Agent, "", usage},
      {{"/"}, false, Agent, "", usage},
      {{"-x"}, false, Agent, "", usage},
      {{"Sales"}, false, Agent, "", usage},
      {{"-m", "-p"}, false, Manager, "", usage},
      {{"-m"}, true, Manager, "", {}},
      {{"-l"}, true, LegacyManagement, "", {}},
      {{"-c"}, true, DbConsistency, "", {}},
      {{"-c", "/S"}, true, Agent, "", {}},
      {{"/Management"}, true, Manager, "", {}},
      {{"-p", "Sales"}, true, Agent, "Sales", {}},
      {{"/P", "-s", "-m"}, true, Manager, "-s", {}},
      {{"-p", "One", "-p", "Two"}, true, Agent, "Two", {}},
      {{"-p", n50}, true, Agent, n50, {}},
      {{"-p", n51}, false, Agent, n51, {Limit}},
      {{"-p", n51, "-p", "ok"}, false, Agent, n51, {Limit}},
      {{"-p", "  " + n49}, false, Agent, "__" + n49, {Limit}},
      {{"-p", "\t\n\v\f\r x \r\n"}, true, Agent, "______x", {}},
      {{"-p", " a b \t"}, true, Agent, "_a b", {}},
      {{"-p", " \t "}, true, Agent, "", {}},
      {{"-p", "\xA0\x85X\xA0\x85"}, true, Agent, "\xA0\x85X\xA0\x85", {}},
      {{"-p", std::string(300, 'a')}, false, Agent, std::string(255, 'a'), {Limit}},
      {{"-p", "a" + std::string(299, ' ')}, true, Agent, "a", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {Program};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    std::string what = ::testing::PrintToString(c.arguments);
    EXPECT_EQ(c.goesOn, Parse(arguments)) << what;
    EXPECT_EQ(c.role, Role) << what;
    EXPECT_EQ(c.name, ProfileName) << what;
    EXPECT_EQ(c.shown, ShownTexts()) << what;
  }
  // The formatter's limit cuts the usage text of a long program path at 1023 characters.
  Parse({std::string(400, 'p')});
  EXPECT_EQ(Texts{Usage(std::string(400, 'p')).substr(0, 1023)}, ShownTexts());
}

TEST(NormaliseName, IsIdempotentAndNeverLooksBeforeTheName) {
  for (const char* name : {"", " ", "  x  ", "\xFF ", " \xFF", "a\tb", "\r\n"}) {
    char buffer[16] = " ";  // a whitespace byte just before the name must stay as it is
    strcpy(buffer + 1, name);
    NormaliseName(buffer + 1);
    std::string once = buffer + 1;
    NormaliseName(buffer + 1);
    EXPECT_EQ(once, buffer + 1) << name;
    EXPECT_EQ(' ', buffer[0]) << name;
  }
}

}  // namespace
