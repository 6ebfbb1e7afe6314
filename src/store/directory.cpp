#include "store/directory.hpp"

#include <cstdlib>

#include "base/account.hpp"

namespace tarn::store {
namespace {

// HOME when set and not empty, else the account's home directory.
std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (auto account = currentAccount(); account && !account->home.empty()) return account->home;
  // No home anywhere: the root, so the path stays absolute and the run still gets its reply.
  return "/";
}

}  // namespace

std::string join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return "./" + std::string(name);
  if (dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

std::string defaultDirectory() { return join(homeDirectory(), defaultStore); }

}  // namespace tarn::store
