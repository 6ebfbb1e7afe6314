// Faults from outside: a TPM that goes away, a store that cannot be made, a run killed while it
// makes the key, many runs at once, and the whole program under valgrind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "support/prompt.hpp"

namespace tarn::test {
namespace {

using nlohmann::json;

class Faults : public StoreTest {
 protected:
  Launch opening(const std::vector<std::string>& sealed, const Prompt& prompt) const {
    return asking("open", json{{"items", sealed}}.dump(), prompt);
  }
};

std::vector<std::string> numbered(int count, const std::string& prefix) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back(prefix + std::to_string(i));
  return texts;
}

TEST_F(Faults, TheTpmGoesAwayInTheMiddleOfAnOpen) {
  const std::vector<std::string> texts = numbered(5000, "text ");
  const std::vector<std::string> sealed = store_->seal(texts);
  Prompt prompt({password()});
  Outcome outcome;
  std::thread open([&] { outcome = run(opening(sealed, prompt)); });
  // wait until the prompt is done and the key agreements are under way
  for (int i = 0; i < 200 && prompt.asked() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const_cast<SwTpm&>(store_->tpm()).stop();
  open.join();

  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "");
  ASSERT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << outcome.out;
  json reply = json::parse(outcome.out);
  EXPECT_EQ(reply.size(), 1u);
  EXPECT_TRUE(reply.contains("error"));
  EXPECT_EQ(outcome.out.find("text "), std::string::npos);

  const_cast<SwTpm&>(store_->tpm()).start();
  Prompt again({password()});
  Outcome reopened = run(opening({sealed[0], sealed[4999]}, again));
  EXPECT_EQ(reopened.out, "{\"items\":[\"text 0\",\"text 4999\"]}\n");
}

TEST_F(Faults, ManyOpensAtOnceNeverGiveAWrongText) {
  const std::vector<std::string> texts = numbered(20, "same key ");
  const std::vector<std::string> sealed = store_->seal(texts);
  std::vector<Outcome> outcomes(16);
  std::vector<std::unique_ptr<Prompt>> prompts;
  std::vector<std::thread> runs;
  for (auto& outcome : outcomes) {
    prompts.push_back(std::make_unique<Prompt>(std::vector<std::string>{password()}));
    runs.emplace_back([&, launch = opening(sealed, *prompts.back())] { outcome = run(launch); });
  }
  for (auto& t : runs) t.join();
  int opened = 0;
  for (const auto& outcome : outcomes) {
    EXPECT_EQ(outcome.err, "");
    json reply = json::parse(outcome.out);
    if (outcome.status == 0) {
      EXPECT_EQ(reply.at("items").get<std::vector<std::string>>(), texts);
      ++opened;
    } else {
      std::string error = reply.at("error");
      for (const char* own : {"items", "no-key", "sealed-format", "denied", "cancelled"}) {
        EXPECT_NE(error, own);
      }
    }
  }
  EXPECT_GT(opened, 0);
}

TEST_F(Faults, AKillDuringKeyCreationNeverLeavesAPartialKeyFile) {
  // a first run makes the key in some tens of milliseconds: kill within that window
  std::mt19937 random(std::random_device{}());
  int killedRuns = 0;
  for (int round = 0; round < 16; ++round) {
    SCOPED_TRACE(round);
    Store store(*account_);
    Launch first = store.as({"seal"}, "{\"items\":[\"x\"]}");
    int delay = std::uniform_int_distribution<int>(1, 40)(random);
    first.args.insert(first.args.begin(),
                      {"/usr/bin/timeout", "-s", "KILL", std::to_string(delay / 1000.0)});
    Outcome killed = run(first);
    EXPECT_EQ(killed.err, "");
    killedRuns += killed.status == 128 + SIGKILL;
    // swtpm has no resource manager to flush what a killed client left loaded; /dev/tpmrm0 does
    for (const char* kind : {"--transient-object", "--loaded-session"}) {
      Launch flush;
      flush.args = {"/usr/bin/tpm2_flushcontext", kind};
      flush.env["TPM2TOOLS_TCTI"] = store.tpm().tcti();
      run(flush);
    }
    Outcome next = run(store.as({"seal"}, "{\"items\":[\"y\"]}"));
    EXPECT_EQ(next.status, 0) << next.out;
    struct stat st;
    ASSERT_EQ(::stat(store.keyFile().c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0);
  }
  EXPECT_GT(killedRuns, 0);
}

TEST_F(Faults, AStoreThatCannotBeMadeLeavesNothingHalfMade) {
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  std::ofstream(tmp / "file") << "in the way";
  const std::string readOnly = tmp / "locked";
  ::mkdir(readOnly.c_str(), 0500);
  ASSERT_EQ(::chown(readOnly.c_str(), account_->uid, account_->gid), 0);
  const struct {
    const char* name;
    std::string dir;
    std::string reason;
  } cases[] = {
      {"a file in its place", tmp / "file", "Not a directory"},
      {"a file in a parent's place", tmp / "file/store", "Not a directory"},
      {"a read-only parent", readOnly + "/a/store", "Permission denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Launch launch = tarnWemb({"seal", "--dir", c.dir}, "{\"items\":[]}");
    launch.env["TARN_WEMB_TCTI"] = store_->tpm().tcti();
    launch.uid = account_->uid;
    launch.gid = account_->gid;
    Outcome outcome = run(launch);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "");
    std::string error = json::parse(outcome.out).at("error");
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  EXPECT_EQ(readFile(tmp / "file"), "in the way");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(readOnly), {}), 0);
}

TEST_F(Faults, ValgrindFindsNothingInASealAndOpen) {
#ifdef TARN_SANITIZED
  GTEST_SKIP() << "the sanitizer build cannot run under valgrind";
#endif
  if (!exists("/usr/bin/valgrind")) GTEST_SKIP() << "valgrind is not installed";
  TempDir logs;
  ::chmod(logs.path().c_str(), 0777);
  auto underValgrind = [&](Launch launch, const std::string& name) {
    launch.args.insert(launch.args.begin(),
                       {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=full",
                        "--errors-for-leak-kinds=definite,indirect", "--log-file=" + logs / name});
    return launch;
  };
  Outcome sealed =
      run(underValgrind(store_->as({"seal"}, "{\"items\":[\"one\",\"two\"]}"), "seal"));
  ASSERT_EQ(sealed.status, 0) << readFile(logs / "seal");
  auto strings = json::parse(sealed.out).at("sealed").get<std::vector<std::string>>();
  Prompt prompt({password()});
  Outcome opened = run(underValgrind(opening(strings, prompt), "open"));
  EXPECT_EQ(opened.status, 0) << readFile(logs / "open");
  EXPECT_EQ(opened.out, "{\"items\":[\"one\",\"two\"]}\n");
  EXPECT_EQ(opened.err, "");
}

}  // namespace
}  // namespace tarn::test
