#include "custody/key.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "channel/failure.hpp"
#include "custody/fakes.hpp"
#include "custody/key_file.hpp"
#include "support/process.hpp"

namespace tarn::custody {
namespace {

using test::FakeElement;
using test::TempDir;

mode_t modeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return "Failure: " + failure.message;
  } catch (const std::exception& error) {
    return std::string("error: ") + error.what();
  }
  return "none";
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PublicKey, FirstUseMakesKeyDirectoriesAndFileThenLoadsIt) {
  TempDir tmp;
  const std::string store = tmp / "a/b/store";
  const std::string keyFile = store + "/klucz.se";
  FakeElement element;
  mode_t saved = ::umask(0277);  // a strict umask must not narrow what we create
  platform::Point first = publicKey(element, store, keyFile);
  ::umask(saved);
  EXPECT_EQ(element.created, 1);
  EXPECT_EQ(element.lastAccess, 0x40000001u);
  for (const auto& dir : {tmp / "a", tmp / "a/b", store}) EXPECT_EQ(modeOf(dir), 0700u) << dir;
  EXPECT_EQ(modeOf(keyFile), 0600u);
  EXPECT_EQ(test::readFile(keyFile), std::string("k\x01", 2));
  EXPECT_EQ(entries(store), std::vector<std::string>{"klucz.se"});

  ::chmod(store.c_str(), 0750);
  ::chmod(keyFile.c_str(), 0640);
  platform::Point second = publicKey(element, store, keyFile);
  EXPECT_EQ(first, second);
  EXPECT_EQ(element.created, 1);
  EXPECT_EQ(modeOf(store), 0750u);
  EXPECT_EQ(modeOf(keyFile), 0640u);
}

TEST(PublicKey, NoElementCreatesNothing) {
  TempDir tmp;
  FakeElement element;
  element.available = false;
  EXPECT_EQ(failureOf([&] { publicKey(element, tmp / "a/store", tmp / "a/store/klucz.se"); }),
            "Failure: no-secure-enclave");
  EXPECT_FALSE(test::exists(tmp / "a"));
  EXPECT_EQ(element.created, 0);
}

TEST(PublicKey, ExistingDirectoriesKeepTheirModes) {
  TempDir tmp;
  ::mkdir((tmp / "open").c_str(), 0755);
  FakeElement element;
  publicKey(element, tmp / "open/store", tmp / "open/store/klucz.se");
  EXPECT_EQ(modeOf(tmp / "open"), 0755u);
  EXPECT_EQ(modeOf(tmp / "open/store"), 0700u);
}

TEST(PublicKey, Refusals) {
  const struct {
    const char* name;
    std::function<void(const TempDir&, FakeElement&)> arrange;
    std::string expected;       // prefix of the outcome
    std::string untouchedFile;  // content the key file must still have, if any
  } cases[] = {
      {"no element, no key file",
       [](const TempDir& t, FakeElement& e) {
         e.available = false;
         ::mkdir((t / "store").c_str(), 0700);
       },
       "Failure: no-secure-enclave", ""},
      {"empty key file",
       [](const TempDir& t, FakeElement&) {
         ::mkdir((t / "store").c_str(), 0700);
         std::ofstream(t / "store/klucz.se");
       },
       "error: not a key", ""},
      {"key file present, element gone",
       [](const TempDir& t, FakeElement& e) {
         e.available = false;
         ::mkdir((t / "store").c_str(), 0700);
         std::ofstream(t / "store/klucz.se") << "junk";
       },
       "error: not a key", "junk"},
      {"a file where the store should be",
       [](const TempDir& t, FakeElement&) { std::ofstream(t / "store") << "x"; },
       "error: cannot create directory", ""},
      {"a directory named like the key file",
       [](const TempDir& t, FakeElement&) {
         ::mkdir((t / "store").c_str(), 0700);
         ::mkdir((t / "store/klucz.se").c_str(), 0700);
       },
       "error: cannot write", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    FakeElement element;
    c.arrange(tmp, element);
    std::string outcome =
        failureOf([&] { publicKey(element, tmp / "store", tmp / "store/klucz.se"); });
    EXPECT_EQ(outcome.substr(0, c.expected.size()), c.expected) << outcome;
    if (!c.untouchedFile.empty()) {
      EXPECT_EQ(test::readFile(tmp / "store/klucz.se"), c.untouchedFile);
    }
    if (!std::filesystem::is_directory(tmp / "store")) continue;
    // no temporary file left behind, whatever failed
    for (const auto& name : entries(tmp / "store")) EXPECT_EQ(name, "klucz.se");
  }
}

TEST(KeyFile, WritingNeverReplacesAndLeavesNoTemporary) {
  TempDir tmp;
  std::vector<std::uint8_t> bytes = {1, 2, 3};
  writeKeyFile(tmp / "klucz.se", bytes);
  EXPECT_EQ(test::readFile(tmp / "klucz.se"), std::string("\x01\x02\x03"));
  std::vector<std::uint8_t> other = {9};
  EXPECT_THROW(writeKeyFile(tmp / "klucz.se", other), FileSystemError);
  EXPECT_EQ(test::readFile(tmp / "klucz.se"), std::string("\x01\x02\x03"));
  EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{"klucz.se"});
}

TEST(KeyFile, ReadingTellsOnlyWhetherItCould) {
  TempDir tmp;
  EXPECT_FALSE(readKeyFile(tmp / "missing"));
  EXPECT_FALSE(readKeyFile(tmp.path()));
  std::ofstream(tmp / "empty");
  ASSERT_TRUE(readKeyFile(tmp / "empty"));
  EXPECT_TRUE(readKeyFile(tmp / "empty")->empty());
}

}  // namespace
}  // namespace tarn::custody
