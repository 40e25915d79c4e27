#include "qsmapi/plan.h"

#include <gtest/gtest.h>

namespace {

using qsmapi::plan::Kind;
using qsmapi::plan::ParseRule;
using qsmapi::plan::Rule;

TEST(ParseRule, TakesCallNumberAndKindAndRefusesAnythingElse) {
  struct {
    const char* text;
    const char* call;
    int occurrence;
    Kind kind;
    HRESULT status;
  } good[] = {
      {"GetProps#2:0X0004abCD", "GetProps", 2, Kind::Status, (HRESULT)0x0004ABCD},
      {"Session.Release#1000000:raise", "Session.Release", 1000000, Kind::Raise, S_OK},
      {"Logoff:empty", "Logoff", 1, Kind::Empty, S_OK},
  };
  for (const auto& c : good) {
    Rule rule;
    std::string problem;
    ASSERT_TRUE(ParseRule(c.text, &rule, &problem)) << c.text << ": " << problem;
    EXPECT_EQ(c.call, rule.call) << c.text;
    EXPECT_EQ(c.occurrence, rule.occurrence) << c.text;
    EXPECT_EQ(c.kind, rule.kind) << c.text;
    EXPECT_EQ(c.status, rule.status) << c.text;
  }
  for (const char* text : {"CreateProfile", ":raise", "Create Profile:raise", "A:B:raise",
                           "Logoff#0:raise", "Logoff#2x:raise", "Logoff#1000001:raise",
                           "Logoff:Raise", "Logoff:0x8004011", "Logoff:0x8004011G"}) {
    Rule rule;
    std::string problem;
    EXPECT_FALSE(ParseRule(text, &rule, &problem)) << text;
    EXPECT_FALSE(problem.empty()) << text;
  }
}

}  // namespace
