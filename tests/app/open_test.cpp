// "open" and "verify" through the built binary: a private swtpm, real PAM for a throwaway
// account, and the stand-in pinentry.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/prompt.hpp"

namespace tarn::test {
namespace {

using nlohmann::json;

const std::string tools = std::string(TARN_SOURCE_DIR) + "/tests/tools/";

class OpenCommand : public StoreTest {
 protected:
  Outcome ask(const std::string& command, const json& request, const Prompt& prompt) {
    Outcome outcome = run(asking(command, request.is_null() ? "" : request.dump(), prompt));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << outcome.out;
    return outcome;
  }
};

TEST_F(OpenCommand, TextsComeBackInOrderAfterOnePrompt) {
  std::vector<std::string> texts = {"a",
                                    "\xC3\xA9",
                                    "Dzie\xC5\x84 dobry",
                                    "\xE6\x97\xA5\xE6\x9C\xAC",
                                    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",
                                    "line\nbreak",
                                    std::string(70000, 'z'),
                                    "\"quoted\" \\ /"};
  std::vector<std::string> sealed = store_->seal(texts);
  Prompt prompt({password()});
  Outcome outcome = ask("open", {{"items", sealed}, {"reason", "Show the notes"}}, prompt);
  ASSERT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_EQ(json::parse(outcome.out).at("items").get<std::vector<std::string>>(), texts);
  EXPECT_EQ(prompt.asked(), 1u);
  EXPECT_EQ(prompt.shown(), std::vector<std::string>{"Show the notes"});
}

TEST_F(OpenCommand, FiveThousandItemsTakeOnePrompt) {
  std::vector<std::string> texts;
  for (int i = 0; i < 5000; ++i) texts.push_back("item " + std::to_string(i));
  Prompt prompt({password()});
  Outcome outcome = ask("open", {{"items", store_->seal(texts)}}, prompt);
  ASSERT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_EQ(json::parse(outcome.out).at("items").get<std::vector<std::string>>(), texts);
  EXPECT_EQ(prompt.asked(), 1u);
}

TEST_F(OpenCommand, EnvelopesFromAnIndependentSealerOpen) {
  store_->seal({});
  Launch python;
  python.args = {"/usr/bin/python3", tools + "envelope_seal.py", "--key", store_->keyFile(),
                 "caf\xC3\xA9",      "\xF0\x9F\x94\x90 x"};
  Outcome made = run(python);
  ASSERT_EQ(made.status, 0) << made.err;
  Prompt prompt({password()});
  std::vector<std::string> sealed;
  std::istringstream lines(made.out);
  for (std::string line; std::getline(lines, line);) sealed.push_back(line);
  ASSERT_EQ(sealed.size(), 2u);
  Outcome outcome = ask("open", {{"items", sealed}}, prompt);
  ASSERT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_EQ(outcome.out, "{\"items\":[\"caf\xC3\xA9\",\"\xF0\x9F\x94\x90 x\"]}\n");
}

TEST_F(OpenCommand, RefusalsComeInOrderAndChecksPrecedeThePrompt) {
  std::vector<std::string> sealed = store_->seal({"kept secret"});
  Store other(*account_);
  std::vector<std::string> foreign = other.seal({"other key"});
  const std::string emptyText = store_->seal({""})[0];
  const std::string key = readFile(store_->keyFile());

  const struct {
    const char* name;
    json request;
    std::string keyFile;  // "-" : no key file
    std::string reply;    // "PLATFORM": an error that is none of the program's own words
    std::size_t prompts;
  } cases[] = {
      {"items before no-key", json::object(), "-", "{\"error\":\"items\"}\n", 0},
      {"no-key before sealed-format", {{"items", {"%%%"}}}, "-", "{\"error\":\"no-key\"}\n", 0},
      {"a malformed item among good ones",
       {{"items", {sealed[0], "AQ==", sealed[0]}}},
       key,
       "{\"error\":\"sealed-format\"}\n",
       0},
      {"the empty text's envelope",
       {{"items", {emptyText}}},
       key,
       "{\"error\":\"sealed-format\"}\n",
       0},
      {"an empty list still asks", {{"items", json::array()}}, key, "{\"items\":[]}\n", 1},
      {"sealed for another key", {{"items", {sealed[0], foreign[0]}}}, key, "PLATFORM", 1},
      {"a key file of junk", {{"items", sealed}}, "junk bytes", "PLATFORM", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.keyFile == "-") {
      ::unlink(store_->keyFile().c_str());
    } else {
      std::ofstream(store_->keyFile(), std::ios::binary | std::ios::trunc) << c.keyFile;
    }
    Prompt prompt({password()});
    Outcome outcome = ask("open", c.request, prompt);
    EXPECT_EQ(prompt.asked(), c.prompts);
    EXPECT_EQ(prompt.shown().size(), c.prompts);
    if (c.reply == "PLATFORM") {
      EXPECT_EQ(outcome.status, 1);
      std::string error = json::parse(outcome.out).at("error");
      for (const char* own : {"items", "no-key", "sealed-format", "denied", "cancelled"}) {
        EXPECT_NE(error, own);
      }
      EXPECT_EQ(outcome.out.find("kept secret"), std::string::npos);
    } else {
      EXPECT_EQ(outcome.out, c.reply);
      EXPECT_EQ(outcome.status, c.reply.rfind("{\"error\"", 0) == 0 ? 1 : 0);
    }
  }
}

TEST_F(OpenCommand, TheReasonShown) {
  store_->seal({});
  const std::string long200 = std::string(200, 'r');
  const struct {
    const char* name;
    std::string input;
    std::string shown;
  } cases[] = {
      {"empty request", "", "Tarn Studio"},
      {"no reason", "{\"items\":[]}", "Tarn Studio"},
      {"not a string", "{\"items\":[],\"reason\":42}", "Tarn Studio"},
      {"empty reason", "{\"items\":[],\"reason\":\"\"}", ""},
      {"escapes", "{\"items\":[],\"reason\":\"100% sure\\r\\nreally\"}", "100% sure\r\nreally"},
      {"cut to 150", "{\"items\":[],\"reason\":\"" + long200 + "\"}", std::string(150, 'r')},
  };
  for (const char* command : {"open", "verify"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(command) + ": " + c.name);
      if (std::string(command) == "open" && c.input.empty()) continue;  // no items to open
      Prompt prompt({password()});
      Outcome outcome = run(asking(command, c.input, prompt));
      EXPECT_EQ(outcome.status, 0) << outcome.out;
      EXPECT_EQ(prompt.shown(), std::vector<std::string>{c.shown});
    }
  }
}

TEST_F(OpenCommand, TheUserDecides) {
  std::vector<std::string> sealed = store_->seal({"secret"});
  const struct {
    const char* name;
    std::vector<std::string> answers;
    std::string reply;
    std::size_t asked;
  } cases[] = {
      {"cancel", {"cancel"}, "{\"error\":\"cancelled\"}\n", 1},
      {"three wrong passwords", {"pin:wrong"}, "{\"error\":\"denied\"}\n", 3},
      {"wrong, then right", {"pin:wrong", password()}, "{\"items\":[\"secret\"]}\n", 2},
      {"a prompt that fails", {"error"}, "{\"error\":\"denied\"}\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prompt prompt(c.answers);
    EXPECT_EQ(ask("open", {{"items", sealed}}, prompt).out, c.reply);
    EXPECT_EQ(prompt.asked(), c.asked);
    Prompt again(c.answers);
    std::string verified = ask("verify", json::object(), again).out;
    EXPECT_EQ(verified, c.asked == 2 ? "{\"ok\":true}\n" : c.reply);
  }
}

TEST_F(OpenCommand, NoWayToAskIsReportedWithoutAPrompt) {
  std::vector<std::string> sealed = store_->seal({"secret"});
  Prompt prompt({password()});
  const struct {
    const char* name;
    std::function<void(Launch&)> arrange;
  } cases[] = {
      {"no pinentry on PATH", [](Launch& l) { l.env["PATH"] = "/nonexistent"; }},
      {"nowhere to show it",
       [](Launch& l) {
         l.env["DISPLAY"] = std::nullopt;
         l.newSession = true;
       }},
  };
  for (const auto& c : cases) {
    for (const char* command : {"open", "verify"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + command);
      Launch launch = asking(command, json{{"items", sealed}}.dump(), prompt);
      c.arrange(launch);
      Outcome outcome = run(launch);
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.err, "");
      std::string error = json::parse(outcome.out).at("error");
      EXPECT_EQ(error.rfind("no-authentication: ", 0), 0u) << error;
      EXPECT_GT(error.size(), std::string("no-authentication: ").size());
    }
  }
  EXPECT_EQ(prompt.asked(), 0u);
}

TEST_F(OpenCommand, VerifyNeverTouchesTheKeyFile) {
  for (const std::string& keyFile : {std::string("-"), std::string("junk")}) {
    if (keyFile == "-") {
      ::unlink(store_->keyFile().c_str());
    } else {
      std::ofstream(store_->keyFile()) << keyFile;
      ::chmod(store_->keyFile().c_str(), 0);
    }
    Prompt prompt({password()});
    EXPECT_EQ(ask("verify", {{"items", {"%%%"}}}, prompt).out, "{\"ok\":true}\n");
    EXPECT_EQ(prompt.asked(), 1u);
  }
  EXPECT_EQ(readFile(store_->keyFile()), "junk");
  Prompt prompt({password()});
  EXPECT_EQ(ask("verify", json::array(), prompt).out, "{\"error\":\"input\"}\n");
  EXPECT_EQ(prompt.asked(), 0u);
}

}  // namespace
}  // namespace tarn::test
