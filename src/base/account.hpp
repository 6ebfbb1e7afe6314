#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tarn {

// The caller's entry in the user database.
struct Account {
  std::string name;
  std::string home;
};

// The account of `uid`, or nothing when the user database has no entry for it.
std::optional<Account> accountOf(uid_t uid);

// The account of the real user id, or nothing when the user database has no entry for it.
std::optional<Account> currentAccount();

}  // namespace tarn
