#pragma once

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

  // Puts the stand-in first on PATH with a display to show it on, and points it at the log.
  void apply(Launch& launch) const;

  // The decoded SETDESC texts, in order.
  std::vector<std::string> shown() const;
  // How many times a password was asked for.
  std::size_t asked() const;

 private:
  std::vector<std::string> records() const;

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

}  // namespace tarn::test
