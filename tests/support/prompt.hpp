#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/account.hpp"
#include "support/process.hpp"
#include "support/swtpm.hpp"

namespace tarn::test {

// The stand-in pinentry for one run: what it answers, and what it was asked.
class Prompt {
 public:
  // One answer per GETPIN, the last repeating: "pin:TEXT", "cancel", "error", ...
  explicit Prompt(std::vector<std::string> answers);

  // The stand-in first on PATH with a display to show it on, pointed at the log.
  std::map<std::string, std::optional<std::string>> env() const;
  void apply(Launch& launch) const;

  // The decoded SETDESC texts, in order.
  std::vector<std::string> shown() const;
  // How many times a password was asked for.
  std::size_t asked() const;
  // Every command the stand-in received, decoded; {"BAD LOG"} when the log is not netstrings.
  std::vector<std::string> records() const;

 private:
  TempDir dir_;
  std::string answers_;
};

// A private TPM and a store owned by a throwaway account, with "seal" and "open" run as it.
class Store {
 public:
  explicit Store(const Account& account) : account_(account) {}

  Launch as(std::vector<std::string> args, std::string input = {}) const;
  const std::string& path() const { return path_; }
  std::string keyFile() const { return path_ + "/klucz.se"; }
  const SwTpm& tpm() const { return tpm_; }

  // The sealed strings for `texts`, through the binary.
  std::vector<std::string> seal(const std::vector<std::string>& texts) const;

 private:
  const Account& account_;
  SwTpm tpm_;
  TempDir dir_;
  std::string path_ = owned();

  std::string owned() const;
};

// Tests on a Store of the shared throwaway account; they skip when not run as root.
class StoreTest : public testing::Test {
 protected:
  void SetUp() override;
  std::string password() const { return "pin:" + account_->password; }
  // `command` run as the account on `input`, with the stand-in pinentry answering.
  Launch asking(const std::string& command, const std::string& input, const Prompt& prompt) const;

  const Account* account_ = nullptr;
  std::unique_ptr<Store> store_;
};

}  // namespace tarn::test
