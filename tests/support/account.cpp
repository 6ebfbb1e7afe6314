#include "support/account.hpp"

#include <pwd.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <stdexcept>

#include "support/process.hpp"

namespace tarn::test {
namespace {

std::string randomText(std::size_t length) {
  static const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += letters[random() % letters.size()];
  return text;
}

Launch command(std::vector<std::string> args, std::string input = {}) {
  Launch launch;
  launch.args = std::move(args);
  launch.input = std::move(input);
  return launch;
}

void must(const Launch& launch, const char* what) {
  Outcome outcome = run(launch);
  if (outcome.status != 0) throw std::runtime_error(std::string(what) + ": " + outcome.err);
}

}  // namespace

Account::Account() {
  name = "tarn-t-" + randomText(8);
  // '%', blanks and non-ASCII: the password crosses pinentry's escaping on its way to PAM.
  password = "p%25 w\xC3\xB6rd " + randomText(12);
  must(command({"/usr/sbin/useradd", "--no-create-home", "--shell", "/usr/sbin/nologin",
                "--user-group", name}),
       "useradd");
  try {
    must(command({"/usr/sbin/chpasswd"}, name + ":" + password + "\n"), "chpasswd");
    passwd* entry = ::getpwnam(name.c_str());
    if (entry == nullptr) throw std::runtime_error("getpwnam " + name);
    uid = entry->pw_uid;
    gid = entry->pw_gid;
  } catch (...) {
    run(command({"/usr/sbin/userdel", name}));
    throw;
  }
}

void Account::expire() const {
  must(command({"/usr/sbin/usermod", "--expiredate", "1", name}), "usermod");
}

Account::~Account() { run(command({"/usr/sbin/userdel", name})); }

const Account* Account::shared() {
  if (::geteuid() != 0) return nullptr;
  static const auto account = std::make_unique<Account>();
  return account.get();
}

}  // namespace tarn::test
