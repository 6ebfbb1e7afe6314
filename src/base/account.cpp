#include "base/account.hpp"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace tarn {

std::optional<Account> accountOf(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return Account{found->pw_name != nullptr ? found->pw_name : "",
                 found->pw_dir != nullptr ? found->pw_dir : ""};
}

std::optional<Account> currentAccount() { return accountOf(::getuid()); }

}  // namespace tarn
