#include "custody/key.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/failure.hpp"
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
  Point first = publicKey(element, store, keyFile);
  ::umask(saved);
  EXPECT_EQ(element.created, 1);
  EXPECT_EQ(element.lastAccess, 0x40000001u);
  for (const auto& dir : {tmp / "a", tmp / "a/b", store}) EXPECT_EQ(modeOf(dir), 0700u) << dir;
  EXPECT_EQ(modeOf(keyFile), 0600u);
  EXPECT_EQ(test::readFile(keyFile), std::string("k\x01", 2));
  EXPECT_EQ(entries(store), std::vector<std::string>{"klucz.se"});

  ::chmod(store.c_str(), 0750);
  ::chmod(keyFile.c_str(), 0640);
  Point second = publicKey(element, store, keyFile);
  EXPECT_EQ(first, second);
  EXPECT_EQ(element.created, 1);
  EXPECT_EQ(modeOf(store), 0750u);
  EXPECT_EQ(modeOf(keyFile), 0640u);
}

TEST(PublicKey, ExistingDirectoriesKeepTheirModes) {
  TempDir tmp;
  ::mkdir((tmp / "open").c_str(), 0755);
  FakeElement element;
  publicKey(element, tmp / "open/store", tmp / "open/store/klucz.se");
  EXPECT_EQ(modeOf(tmp / "open"), 0755u);
  EXPECT_EQ(modeOf(tmp / "open/store"), 0700u);
}

// The other refusals of publicKey() run black-box in tests/app/seal_test.cpp and fault_test.cpp.
TEST(PublicKey, ADirectoryNamedLikeTheKeyFileIsRefusedWithoutATemporaryLeft) {
  TempDir tmp;
  ::mkdir((tmp / "store").c_str(), 0700);
  ::mkdir((tmp / "store/klucz.se").c_str(), 0700);
  FakeElement element;
  try {
    publicKey(element, tmp / "store", tmp / "store/klucz.se");
    ADD_FAILURE() << "made a key";
  } catch (const std::exception& error) {
    EXPECT_EQ(std::string(error.what()).rfind("cannot write", 0), 0u) << error.what();
  }
  EXPECT_EQ(entries(tmp / "store"), std::vector<std::string>{"klucz.se"});
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
