// "seal" and "status" through the built binary against a private swtpm.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "envelope/base64.hpp"
#include "support/account.hpp"
#include "support/process.hpp"
#include "support/swtpm.hpp"

namespace tarn::test {
namespace {

const std::string tools = std::string(TARN_SOURCE_DIR) + "/tests/tools/";
const std::string closedPort = "swtpm:host=127.0.0.1,port=9";

Outcome tarn(const std::string& tcti, std::vector<std::string> args, std::string input = {}) {
  Launch launch = tarnWemb(std::move(args), std::move(input));
  launch.env["TARN_WEMB_TCTI"] = tcti;
  return run(launch);
}

nlohmann::json reply(const Outcome& outcome) {
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << outcome.out;
  return nlohmann::json::parse(outcome.out);
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// The plaintexts of `sealed`, opened by tpm2-tools and python3-cryptography.
std::vector<std::string> openIndependently(const std::string& tcti, const std::string& keyFile,
                                           const std::vector<std::string>& sealed) {
  Launch launch;
  launch.args = {"/usr/bin/python3", tools + "tpm2_open.py", "--tcti", tcti, "--key", keyFile};
  launch.args.insert(launch.args.end(), sealed.begin(), sealed.end());
  Outcome opened = run(launch);
  EXPECT_EQ(opened.status, 0) << opened.err;
  return nlohmann::json::parse(opened.out).get<std::vector<std::string>>();
}

TEST(SealCommand, FirstRunMakesTheStoreAndTheKeyLaterRunsUseIt) {
  SwTpm swtpm;
  TempDir tmp;
  const std::string store = tmp / "a/b/store";
  const std::vector<std::string> texts = {
      "", "a", "abc", "\xC3\xA9", "Dzie\xC5\x84 dobry", std::string(3000, 'x'), "\xF0\x9F\x94\x90"};
  nlohmann::json request = {{"items", texts}, {"reason", "ignored"}};
  Outcome first = tarn(swtpm.tcti(), {"seal", "--dir", store}, request.dump());
  ASSERT_EQ(first.status, 0) << first.out;
  auto sealed = reply(first).at("sealed").get<std::vector<std::string>>();
  ASSERT_EQ(sealed.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    auto bytes = base64::decode(sealed[i]);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(sealed[i].substr(0, 2), "AQ");
    EXPECT_EQ(bytes->size(), 94 + texts[i].size());
    EXPECT_EQ((*bytes)[1], 0x04);
  }
  for (const auto& dir : {tmp / "a", tmp / "a/b", store}) EXPECT_EQ(modeOf(dir), 0700u) << dir;
  EXPECT_EQ(modeOf(store + "/klucz.se"), 0600u);
  const std::string keyBytes = readFile(store + "/klucz.se");

  Outcome second = tarn(swtpm.tcti(), {"seal", "--dir", store}, request.dump());
  ASSERT_EQ(second.status, 0) << second.out;
  auto again = reply(second).at("sealed").get<std::vector<std::string>>();
  EXPECT_EQ(readFile(store + "/klucz.se"), keyBytes);
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_NE(again[i], sealed[i]);

  // Both runs sealed to the key in the file: an independent opener gets the texts back.
  std::vector<std::string> openable, expected;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].empty()) continue;  // the empty text's envelope is below the opening minimum
    openable.insert(openable.end(), {sealed[i], again[i]});
    expected.insert(expected.end(), {texts[i], texts[i]});
  }
  EXPECT_EQ(openIndependently(swtpm.tcti(), store + "/klucz.se", openable), expected);
}

TEST(SealCommand, TheKeyIsMadeBeforeTheRequestIsRead) {
  SwTpm swtpm;
  const struct {
    std::string input;
    std::string reply;
  } cases[] = {
      {"{\"items\":[]}", "{\"sealed\":[]}\n"},
      {"", "{\"error\":\"items\"}\n"},
      {"[]", "{\"error\":\"input\"}\n"},
      {"{\"items\":[\"a\",7]}", "{\"error\":\"items\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir tmp;
    Outcome outcome = tarn(swtpm.tcti(), {"seal", "--dir", tmp / "store"}, c.input);
    EXPECT_EQ(outcome.out, c.reply);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, c.reply.find("error") == std::string::npos ? 0 : 1);
    EXPECT_TRUE(exists(tmp / "store/klucz.se"));
  }
}

TEST(SealCommand, UnusableKeyFilesAreReportedAndLeftAlone) {
  SwTpm swtpm, other;
  TempDir foreignStore;
  ASSERT_EQ(tarn(other.tcti(), {"seal", "--dir", foreignStore.path()}, "{}").status, 1);
  const std::string foreign = readFile(foreignStore / "klucz.se");
  TempDir ownStore;
  ASSERT_EQ(tarn(swtpm.tcti(), {"seal", "--dir", ownStore.path()}, "{}").status, 1);
  const std::string own = readFile(ownStore / "klucz.se");

  const std::size_t publicSize = 2u + (std::uint8_t(own[0]) << 8 | std::uint8_t(own[1]));
  std::string altered = own;
  altered[publicSize + 10] ^= 0x01;
  // The platform's own words: the marshalling layer, the TPM, or the key file's length check.
  const struct {
    const char* name;
    std::string bytes;
    std::string tcti;
    std::string error;  // what the error starts with
  } cases[] = {
      {"empty", "", swtpm.tcti(), "mu:"},
      {"truncated", own.substr(0, own.size() - 7), swtpm.tcti(), "mu:"},
      {"public part only", own.substr(0, publicSize), swtpm.tcti(), "mu:"},
      {"trailing byte", own + "x", swtpm.tcti(), "the key data has 1 bytes after its private part"},
      {"private part twice", own + own.substr(publicSize), swtpm.tcti(), "the key data has"},
      {"made by another TPM", foreign, swtpm.tcti(), "tpm:"},
      {"private part altered", altered, swtpm.tcti(), "tpm:"},
      {"good key, TPM unreachable", own, closedPort, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    std::ofstream(tmp / "klucz.se", std::ios::binary) << c.bytes;
    Outcome outcome = tarn(c.tcti, {"seal", "--dir", tmp.path()}, "{\"items\":[\"a\"]}");
    EXPECT_EQ(outcome.status, 1);
    std::string error = reply(outcome).at("error");
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    for (const char* own : {"no-secure-enclave", "items", ""}) EXPECT_NE(error, own);
    EXPECT_EQ(readFile(tmp / "klucz.se"), c.bytes);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1);
  }
}

TEST(SealCommand, WithoutATpmNothingIsCreated) {
  TempDir tmp;
  Outcome sealed = tarn(closedPort, {"seal", "--dir", tmp / "store"}, "{\"items\":[]}");
  EXPECT_EQ(sealed.out, "{\"error\":\"no-secure-enclave\"}\n");
  EXPECT_EQ(sealed.status, 1);
  Outcome status = tarn(closedPort, {"status", "--dir", tmp / "store"});
  EXPECT_EQ(status.out, "{\"key\":false,\"secureEnclave\":false}\n");
  EXPECT_EQ(status.status, 0);
  EXPECT_FALSE(exists(tmp / "store"));
}

TEST(SealCommand, AnUnreadableKeyFileIsNeverReplaced) {
  const Account* account = Account::shared();
  if (account == nullptr) GTEST_SKIP() << "needs root to make a throwaway account";
  SwTpm swtpm;
  TempDir tmp;
  const std::string store = tmp / "store";
  ::mkdir(store.c_str(), 0700);
  ASSERT_EQ(::chown(store.c_str(), account->uid, account->gid), 0);
  std::ofstream(store + "/klucz.se") << "someone else's key";
  ::chmod((store + "/klucz.se").c_str(), 0);

  Launch launch = tarnWemb({"seal", "--dir", store}, "{\"items\":[\"a\"]}");
  launch.env["TARN_WEMB_TCTI"] = swtpm.tcti();
  launch.uid = account->uid;
  launch.gid = account->gid;
  Outcome outcome = run(launch);
  EXPECT_EQ(outcome.status, 1);
  std::string error = reply(outcome).at("error");
  EXPECT_NE(error.find("File exists"), std::string::npos) << error;
  EXPECT_EQ(readFile(store + "/klucz.se"), "someone else's key");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store), {}), 1);
}

TEST(SealCommand, RacingFirstRunsAgreeOnOneKey) {
  SwTpm swtpm;
  TempDir tmp;
  const std::string store = tmp / "store";
  std::vector<Outcome> outcomes(16);
  std::vector<std::thread> runs;
  for (auto& outcome : outcomes) {
    runs.emplace_back([&] {
      outcome = tarn(swtpm.tcti(), {"seal", "--dir", store}, "{\"items\":[\"race\"]}");
    });
  }
  for (auto& t : runs) t.join();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store), {}), 1);
  std::vector<std::string> sealed;
  for (const auto& outcome : outcomes) {
    auto body = reply(outcome);
    if (outcome.status == 0) {
      sealed.push_back(body.at("sealed").at(0));
    } else {
      // the loser of the race for the name, or a TPM busy with the others
      EXPECT_TRUE(body.contains("error"));
      EXPECT_NE(body.at("error"), "no-secure-enclave");
    }
  }
  ASSERT_FALSE(sealed.empty());
  EXPECT_EQ(openIndependently(swtpm.tcti(), store + "/klucz.se", sealed),
            std::vector<std::string>(sealed.size(), "race"));
}

TEST(StatusCommand, LooksWithoutTouching) {
  SwTpm swtpm;
  TempDir tmp;
  const struct {
    const char* name;
    std::function<void(const std::string&)> arrange;
    std::string tcti;
    std::string reply;
  } cases[] = {
      {"empty store", [](const std::string&) {}, swtpm.tcti(),
       "{\"key\":false,\"secureEnclave\":true}\n"},
      {"key file",
       [](const std::string& s) {
         ::mkdir(s.c_str(), 0700);
         std::ofstream(s + "/klucz.se") << "x";
       },
       swtpm.tcti(), "{\"key\":true,\"secureEnclave\":true}\n"},
      {"a directory named like the key",
       [](const std::string& s) {
         ::mkdir(s.c_str(), 0700);
         ::mkdir((s + "/klucz.se").c_str(), 0700);
       },
       closedPort, "{\"key\":true,\"secureEnclave\":false}\n"},
      {"garbage TCTI", [](const std::string&) {}, "no-such-tcti:x",
       "{\"key\":false,\"secureEnclave\":false}\n"},
  };
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string store = tmp / ("s" + std::to_string(i++));
    c.arrange(store);
    bool existed = exists(store);
    Outcome outcome = tarn(c.tcti, {"status", "--dir", store}, "{\"items\":[\"not read\"]}");
    EXPECT_EQ(outcome.out, c.reply);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.unreadInput, 22u);
    EXPECT_EQ(exists(store), existed);
  }
}

TEST(StatusCommand, DefaultStoreAndFinalDirOption) {
  SwTpm swtpm;
  TempDir home;
  const std::string store = home / "Library/Application Support/Tarn Studio/wemb";
  for (const auto& args : std::vector<std::vector<std::string>>{{"seal"}, {"seal", "--dir"}}) {
    Launch launch = tarnWemb(args, "{}");
    launch.env["TARN_WEMB_TCTI"] = swtpm.tcti();
    launch.env["HOME"] = home.path();
    EXPECT_EQ(run(launch).out, "{\"error\":\"items\"}\n");
    EXPECT_TRUE(exists(store + "/klucz.se"));
    launch = tarnWemb({"status", "--dir"});
    launch.env["TARN_WEMB_TCTI"] = swtpm.tcti();
    launch.env["HOME"] = home.path();
    EXPECT_EQ(run(launch).out, "{\"key\":true,\"secureEnclave\":true}\n");
  }
}

TEST(SealCommand, ManyRunsLeaveNothingLoadedInTheTpm) {
  SwTpm swtpm;
  TempDir tmp;
  const std::string args = "{\"items\":[\"a\",\"b\"]}";
  for (int i = 0; i < 500; ++i) {
    Outcome outcome =
        tarn(swtpm.tcti(), {i % 5 == 4 ? "status" : "seal", "--dir", tmp.path()}, args);
    ASSERT_EQ(outcome.status, 0) << i << outcome.out;
  }
  EXPECT_EQ(loadedHandles(swtpm.tcti()), LoadedHandles{});
}

}  // namespace
}  // namespace tarn::test
