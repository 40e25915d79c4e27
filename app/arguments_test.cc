#include "app/arguments.h"

#include <gtest/gtest.h>
#include <string.h>

extern std::vector<std::string> ShownTexts;  // what the message boxes showed, in order

namespace {

using Texts = std::vector<std::string>;
const char Limit[] = "Profile name is limited to 50 characters in length.";

std::string Usage(const std::string& p) {
  std::string text = "Usage:\n\n";
  for (auto [what, role] : {std::pair{"Quorvane Enterprise Server Agent", 's'},
                            {"Quorvane Manager", 'm'},
                            {"Legacy Quorvane Enterprise Server Management MMC Snap-in", 'l'},
                            {"Quorvane Server Database Consistency Service", 'c'}})
    text += "To create/edit " + std::string(what) + " MAPI profile:\n\t" + p + " -" + role +
            " [-p <Profile Name>]\n\n";
  return text + "To display this help:\n\t" + p + " -h";
}

// What a command line cannot carry to the end-to-end cases (tests/cases/cases.txt): no
// arguments at all, bytes a shell mangles, names beyond the buffer, a path beyond the formatter.
TEST(ParseArguments, EdgesTheEndToEndCasesCannotReach) {
  const std::string longPath(400, 'p');
  // The arguments (the program path first, if any); whether the run goes on, the name, the boxes.
  const std::tuple<std::vector<std::string>, bool, std::string, Texts> cases[] = {
      {{}, false, "", {Usage("(null)")}},
      {{longPath}, false, "", {Usage(longPath).substr(0, 1023)}},
      {{"q", "-p", "\t\n\v\f\r x \r\n"}, true, "______x", {}},
      {{"q", "-p", " \t "}, true, "", {}},
      {{"q", "-p", "\xA0\x85X\xA0\x85"}, true, "\xA0\x85X\xA0\x85", {}},  // never whitespace
      {{"q", "-p", std::string(300, 'a')}, false, std::string(255, 'a'), {Limit}},
      {{"q", "-p", "a" + std::string(299, ' ')}, true, "a", {}},  // cut to 255, then trimmed
  };
  for (auto [args, goesOn, name, shown] : cases) {
    Role = Agent;
    memset(ProfileName, 0, sizeof ProfileName);
    ShownTexts.clear();
    std::vector<char*> argv(args.size() + 1);  // ending with nullptr
    for (size_t i = 0; i < args.size(); i++) argv[i] = args[i].data();
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(goesOn, ParseArguments((int)args.size(), argv.data()));
    EXPECT_EQ(name, ProfileName);
    EXPECT_EQ(shown, ShownTexts);
  }
}

}  // namespace
