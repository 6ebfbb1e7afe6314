#include "custody/directory.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace tarn::custody {
namespace {

class HomeOverride {
 public:
  explicit HomeOverride(const char* home) {
    if (const char* old = std::getenv("HOME")) saved_ = old;
    if (home) {
      ::setenv("HOME", home, 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  ~HomeOverride() {
    if (saved_) {
      ::setenv("HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(Directory, ArgumentRules) {
  HomeOverride home("/home/u");
  const std::string fallback = "/home/u/Library/Application Support/Tarn Studio/wemb";
  const struct {
    std::vector<std::string> args;
    std::string expected;
  } cases[] = {
      {{"tarn-wemb", "status"}, fallback},
      {{"tarn-wemb", "status", "--dir", "/tmp/a", "--dir", "/tmp/b"}, "/tmp/a"},
      {{"tarn-wemb", "status", "--dir"}, fallback},
      {{"tarn-wemb", "status", "--dir", "--dir"}, "--dir"},
      {{"tarn-wemb", "status", "--dir=/tmp/a"}, fallback},
      {{"tarn-wemb", "status", "--DIR", "/tmp/a"}, fallback},
      {{"tarn-wemb", "status", "-d", "/tmp/a"}, fallback},
      {{"tarn-wemb", "status", "--dir", "store"}, "store"},
      {{"tarn-wemb", "status", "--dir", "~/x"}, "~/x"},
      {{"tarn-wemb", "status", "--dir", "$HOME/x"}, "$HOME/x"},
      {{"tarn-wemb", "status", "--dir", "-x"}, "-x"},
      {{"tarn-wemb", "status", "--dir", "a/../b/"}, "a/../b/"},
      {{"tarn-wemb", "--dir", "/tmp/a", "status"}, "/tmp/a"},
      {{"tarn-wemb", "status", "--dir", ""}, "."},
      {{"--dir", "/tmp/p"}, "/tmp/p"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(directory(c.args), c.expected);
  }
}

TEST(Directory, HomeComesFromTheEnvironmentThenTheAccount) {
  {
    HomeOverride home("/srv/someone/");
    EXPECT_EQ(directory({"tarn-wemb"}),
              "/srv/someone/Library/Application Support/Tarn Studio/wemb");
  }
  for (const char* unusable : {static_cast<const char*>(nullptr), ""}) {
    HomeOverride home(unusable);
    std::string found = directory({"tarn-wemb"});
    EXPECT_EQ(found.front(), '/');
    EXPECT_TRUE(found.ends_with("/Library/Application Support/Tarn Studio/wemb")) << found;
    EXPECT_EQ(found.find("//"), std::string::npos) << found;
  }
}

TEST(Directory, KeyFileIsJoinedWithExactlyOneSlash) {
  EXPECT_EQ(join("/tmp/a", "klucz.se"), "/tmp/a/klucz.se");
  EXPECT_EQ(join("/tmp/a/", "klucz.se"), "/tmp/a/klucz.se");
  EXPECT_EQ(join("rel", "klucz.se"), "rel/klucz.se");
  EXPECT_EQ(join("/", "klucz.se"), "/klucz.se");
  EXPECT_EQ(join("", "klucz.se"), "./klucz.se");
}

}  // namespace
}  // namespace tarn::custody
