#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarn::test {

// One run of a program with every byte of its three standard streams under the test's control.
struct Launch {
  std::vector<std::string> args;  // args[0] is the program's path
  std::string input;              // written to standard input, which is then closed
  std::map<std::string, std::optional<std::string>> env;  // overrides; nullopt removes
  std::string cwd;                                        // empty: the test's own
  std::optional<uid_t> uid;                               // run as this account (needs root)
  std::optional<gid_t> gid;
  bool newSession = false;  // no controlling terminal
};

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;              // exit status, or 128 + signal
  std::size_t unreadInput = 0;  // bytes of standard input the program never read
};

Outcome run(const Launch& launch);

// The built tarn-wemb with `args` after the program name.
Launch tarnWemb(std::vector<std::string> args, std::string input = {});

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool exists(const std::string& path);
std::string readFile(const std::string& path);

}  // namespace tarn::test
