#include <gtest/gtest.h>

#include "support/process.hpp"

namespace tarn::test {
namespace {

const std::string usageReply =
    "{\"error\":\"usage: tarn-wemb status|seal|open|verify [--dir path]\"}\n";

TEST(Usage, EveryWordThatIsNotACommandGetsTheUsageReplyWithoutReadingInput) {
  const std::vector<std::vector<std::string>> cases = {
      {},        {""},        {"STATUS"}, {"Seal"},
      {" open"}, {"verify "}, {"unseal"}, {"--dir", "DIR", "status"},
  };
  for (auto args : cases) {
    TempDir dir;
    for (auto& a : args) {
      if (a == "DIR") a = dir / "store";
    }
    Launch launch = tarnWemb(args, "{\"items\":[]}");
    launch.env["HOME"] = dir.path();
    Outcome outcome = run(launch);
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(outcome.out, usageReply);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.unreadInput, 12u);
    EXPECT_FALSE(exists(dir / "store"));
    EXPECT_FALSE(exists(dir / "Library"));
  }
}

}  // namespace
}  // namespace tarn::test
