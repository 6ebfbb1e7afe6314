#pragma once

#include <sys/types.h>

#include <string>

namespace tarn::test {

// A throwaway local account with a known password, removed with the object. Needs root.
class Account {
 public:
  Account();
  ~Account();
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  // One account shared by the tests of this run, or nullptr when not running as root.
  static const Account* shared();

  // The account expired long ago: the right password, but no use of the account.
  void expire() const;

  std::string name;
  std::string password;
  uid_t uid = 0;
  gid_t gid = 0;
};

}  // namespace tarn::test
