#include "app/arguments.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/messages.h"
#include "fake/messagebox.h"

namespace {

const char Program[] = "C:\\Tools\\qsprofile.exe";

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

const char LimitMessage[] = "Profile name is limited to 50 characters in length.";

struct Outcome {
  bool goesOn;
  ServerRole role;
  std::string name;
  std::vector<std::string> shown;
};

Outcome Parse(std::vector<std::string> arguments) {
  Role = Agent;
  memset(ProfileName, 0, sizeof ProfileName);
  ClearShownBoxes();
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  bool goesOn = ParseArguments((int)argv.size(), argv.data());
  return {goesOn, Role, ProfileName, ShownTexts()};
}

struct Case {
  const char* what;
  std::vector<std::string> arguments;  // after the program path
  bool goesOn;
  ServerRole role;
  std::string name;
  std::vector<std::string> shown;
};

TEST(ParseArguments, SwitchesNamesAndUsage) {
  const std::vector<std::string> usage = {Usage(Program)};
  const std::string fifty(50, 'n'), fiftyOne(51, 'n');
  const Case cases[] = {
      {"no arguments", {}, false, Agent, "", usage},
      {"-h", {"-h"}, false, Agent, "", usage},
      {"-?", {"-?"}, false, Agent, "", usage},
      {"a lone dash", {"-"}, false, Agent, "", usage},
      {"a lone slash", {"/"}, false, Agent, "", usage},
      {"unknown switch", {"-x"}, false, Agent, "", usage},
      {"bare word", {"Sales"}, false, Agent, "", usage},
      {"-p last", {"-m", "-p"}, false, Manager, "", usage},
      {"usage after a role", {"-m", "-h"}, false, Manager, "", usage},
      {"-s", {"-s"}, true, Agent, "", {}},
      {"-m", {"-m"}, true, Manager, "", {}},
      {"-l", {"-l"}, true, LegacyManagement, "", {}},
      {"-c", {"-c"}, true, DbConsistency, "", {}},
      {"/S", {"/S"}, true, Agent, "", {}},
      {"-M upper case", {"-M"}, true, Manager, "", {}},
      {"-server", {"-c", "-server"}, true, Agent, "", {}},
      {"/Management", {"/Management"}, true, Manager, "", {}},
      {"last role wins", {"-m", "-c"}, true, DbConsistency, "", {}},
      {"-p without a role", {"-p", "Sales"}, true, Agent, "Sales", {}},
      {"/P", {"/P", "Sales", "-m"}, true, Manager, "Sales", {}},
      {"-p takes a switch as name", {"-p", "-s", "-m"}, true, Manager, "-s", {}},
      {"last name wins", {"-p", "One", "-p", "Two"}, true, Agent, "Two", {}},
      {"50 bytes", {"-p", fifty}, true, Agent, fifty, {}},
      {"51 bytes", {"-p", fiftyOne}, false, Agent, fiftyOne, {LimitMessage}},
      {"each name must pass", {"-p", fiftyOne, "-p", "ok"}, false, Agent, fiftyOne, {LimitMessage}},
      {"leading blanks count",
       {"-p", "  " + std::string(49, 'n')},
       false,
       Agent,
       "__" + std::string(49, 'n'),
       {LimitMessage}},
      {"leading whitespace", {"-p", "  abc"}, true, Agent, "__abc", {}},
      {"trailing whitespace", {"-p", "abc \t"}, true, Agent, "abc", {}},
      {"inner blank", {"-p", "a b"}, true, Agent, "a b", {}},
      {"all control whitespace", {"-p", "\t\n\v\f\r x \r\n"}, true, Agent, "______x", {}},
      {"only whitespace", {"-p", " \t "}, true, Agent, "", {}},
      {"high bytes untouched", {"-p", "\xA0\x85X\xA0\x85"}, true, Agent, "\xA0\x85X\xA0\x85", {}},
      {"300 letters cut then refused",
       {"-p", std::string(300, 'a')},
       false,
       Agent,
       std::string(255, 'a'),
       {LimitMessage}},
      {"letter and 299 blanks", {"-p", "a" + std::string(299, ' ')}, true, Agent, "a", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {Program};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    Outcome o = Parse(arguments);
    EXPECT_EQ(c.goesOn, o.goesOn) << c.what;
    EXPECT_EQ(c.role, o.role) << c.what;
    EXPECT_EQ(c.name, o.name) << c.what;
    EXPECT_EQ(c.shown, o.shown) << c.what;
  }
}

TEST(ParseArguments, BoxesCarryTheFixedCaptionAndOnlyAnOkButton) {
  Parse({Program, "-p", std::string(60, 'x')});
  ASSERT_EQ(1u, ShownBoxes.size());
  EXPECT_EQ("Quorvane Server Profile", ShownBoxes[0].caption);
  EXPECT_EQ(0u, ShownBoxes[0].type);
}

TEST(ShowUsage, ALongProgramPathCutsTheTextAt1023Characters) {
  std::string path(400, 'p');
  Parse({path});
  ASSERT_EQ(1u, ShownBoxes.size());
  EXPECT_EQ(Usage(path).substr(0, 1023), ShownBoxes[0].text);
}

TEST(NormaliseName, IsIdempotentAndNeverLooksBeforeTheName) {
  const char* names[] = {"", " ", "  x  ", "x", "\xFF ", " \xFF", "a\tb", "\r\n"};
  for (const char* name : names) {
    char buffer[16] = {};
    strcpy(buffer + 1, name);
    buffer[0] = ' ';  // a whitespace byte just before the name must stay as it is
    NormaliseName(buffer + 1);
    std::string once = buffer + 1;
    NormaliseName(buffer + 1);
    EXPECT_EQ(once, buffer + 1) << name;
    EXPECT_EQ(' ', buffer[0]) << name;
  }
}

}  // namespace
