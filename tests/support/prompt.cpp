#include "support/prompt.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace tarn::test {

Prompt::Prompt(std::vector<std::string> answers) {
  for (std::size_t i = 0; i < answers.size(); ++i) answers_ += (i ? "\n" : "") + answers[i];
  // the program under test runs as another account and the stand-in writes here
  ::chmod(dir_.path().c_str(), 0777);
}

std::map<std::string, std::optional<std::string>> Prompt::env() const {
  std::string program = TARN_TEST_PINENTRY;
  return {{"PATH", program.substr(0, program.rfind('/')) + ":/usr/bin:/bin"},
          {"DISPLAY", ":99"},
          {"WAYLAND_DISPLAY", std::nullopt},
          {"GPG_TTY", std::nullopt},
          {"TARN_TEST_PINENTRY_ANSWERS", answers_},
          {"TARN_TEST_PINENTRY_LOG", dir_ / "log"}};
}

void Prompt::apply(Launch& launch) const {
  for (const auto& [name, value] : env()) launch.env[name] = value;
}

std::vector<std::string> Prompt::records() const {
  std::string log = readFile(dir_ / "log");
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < log.size()) {
    std::size_t colon = log.find(':', at);
    if (colon == std::string::npos) return {"BAD LOG"};
    std::size_t length = std::stoul(log.substr(at, colon - at));
    out.push_back(log.substr(colon + 1, length));
    if (log.compare(colon + 1 + length, 1, ",") != 0) return {"BAD LOG"};
    at = colon + 2 + length;
  }
  return out;
}

std::vector<std::string> Prompt::shown() const {
  std::vector<std::string> out;
  for (const auto& record : records()) {
    if (record.rfind("SETDESC ", 0) == 0) out.push_back(record.substr(8));
  }
  return out;
}

std::size_t Prompt::asked() const {
  std::size_t count = 0;
  for (const auto& record : records()) count += record.rfind("GETPIN", 0) == 0;
  return count;
}

std::string Store::owned() const {
  std::string path = dir_ / "store";
  if (::mkdir(path.c_str(), 0700) != 0 || ::chown(path.c_str(), account_.uid, account_.gid) != 0) {
    throw std::runtime_error("cannot make the store for " + account_.name);
  }
  return path;
}

Launch Store::as(std::vector<std::string> args, std::string input) const {
  args.insert(args.end(), {"--dir", path_});
  Launch launch = tarnWemb(std::move(args), std::move(input));
  launch.env["TARN_WEMB_TCTI"] = tpm_.tcti();
  launch.uid = account_.uid;
  launch.gid = account_.gid;
  return launch;
}

std::vector<std::string> Store::seal(const std::vector<std::string>& texts) const {
  Outcome outcome = run(as({"seal"}, nlohmann::json{{"items", texts}}.dump()));
  if (outcome.status != 0) throw std::runtime_error("seal failed: " + outcome.out);
  return nlohmann::json::parse(outcome.out).at("sealed").get<std::vector<std::string>>();
}

void StoreTest::SetUp() {
  account_ = Account::shared();
  if (account_ == nullptr) GTEST_SKIP() << "needs root to make a throwaway account for PAM";
  store_ = std::make_unique<Store>(*account_);
}

Launch StoreTest::asking(const std::string& command, const std::string& input,
                         const Prompt& prompt) const {
  Launch launch = store_->as({command}, input);
  prompt.apply(launch);
  return launch;
}

}  // namespace tarn::test
