#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/element.hpp"
#include "support/p256.hpp"
#include "support/process.hpp"
#include "support/swtpm.hpp"

// tpm2-tools and python3-cryptography, knowing nothing of this program's code, read its key file.
namespace tarn::test {
namespace {

const Passed evaluated{true};
const std::string tools = std::string(TARN_SOURCE_DIR) + "/tests/tools/";

std::string hex(std::span<const std::uint8_t> bytes) {
  std::ostringstream out;
  for (auto b : bytes) out << "0123456789abcdef"[b >> 4] << "0123456789abcdef"[b & 15];
  return out.str();
}

Outcome python(const std::string& script, std::vector<std::string> args) {
  Launch launch;
  launch.args = {"/usr/bin/python3", tools + script};
  launch.args.insert(launch.args.end(), args.begin(), args.end());
  return run(launch);
}

struct KeyFile {
  TempDir dir;
  std::string path = dir / "klucz.se";
  platform::Point point{};
};

// The key file written as the program writes it; the element is gone again afterwards.
void write(KeyFile& file, const std::string& tcti) {
  auto key = elementOn(tcti)->create(userPresence);
  auto bytes = key->dataRepresentation();
  std::ofstream(file.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.point = key->publicKey();
}

TEST(TpmTools, Tpm2ToolsLoadTheKeyFileUnderTheirStorageRootKeyAndAgreeOnTheSecret) {
  SwTpm swtpm;
  KeyFile file;
  write(file, swtpm.tcti());
  for (int i = 0; i < 2; ++i) {
    p256::Agreement software = p256::agree(file.point);
    std::string ours;
    {
      auto element = elementOn(swtpm.tcti());
      const std::string bytes = readFile(file.path);
      auto key =
          element->restore(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), &evaluated);
      ours = hex(key->sharedSecret(software.ephemeral));
    }
    Outcome tpm2 = python("tpm2_open.py", {"--tcti", swtpm.tcti(), "--key", file.path,
                                           "--shared-secret", hex(software.ephemeral)});
    ASSERT_EQ(tpm2.status, 0) << tpm2.err;
    EXPECT_EQ(tpm2.out, ours + "\n");
    EXPECT_EQ(ours, hex(software.sharedSecret));
  }
  EXPECT_EQ(loadedHandles(swtpm.tcti()), LoadedHandles{});
}

TEST(TpmTools, TheIndependentOpenerOpensWhatTheIndependentSealerSealed) {
  SwTpm swtpm;
  KeyFile file;
  write(file, swtpm.tcti());
  const std::vector<std::string> texts = {"a",
                                          "zażółć gęślą jaźń",
                                          "line\nbreak\r\n",
                                          "\"quoted\" \\ and \t tab",
                                          std::string(3000, 'x'),
                                          "\xF0\x9F\x94\x91 key"};
  std::vector<std::string> args = {"--key", file.path};
  args.insert(args.end(), texts.begin(), texts.end());
  Outcome sealed = python("envelope_seal.py", args);
  ASSERT_EQ(sealed.status, 0) << sealed.err;

  std::vector<std::string> strings;
  std::istringstream lines(sealed.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.rfind("AQ", 0), 0u) << line;
    strings.push_back(line);
  }
  ASSERT_EQ(strings.size(), texts.size());
  std::vector<std::string> openArgs = {"--tcti", swtpm.tcti(), "--key", file.path};
  openArgs.insert(openArgs.end(), strings.begin(), strings.end());
  Outcome opened = python("tpm2_open.py", openArgs);
  ASSERT_EQ(opened.status, 0) << opened.err;
  EXPECT_EQ(nlohmann::json::parse(opened.out).get<std::vector<std::string>>(), texts);

  // A changed tag, or a key file of another TPM, opens nothing.
  std::string altered = strings[0];
  altered[altered.size() - 3] = altered[altered.size() - 3] == 'A' ? 'B' : 'A';
  Outcome refused = python("tpm2_open.py", {"--tcti", swtpm.tcti(), "--key", file.path, altered});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  SwTpm other;
  Outcome foreign =
      python("tpm2_open.py", {"--tcti", other.tcti(), "--key", file.path, strings[0]});
  EXPECT_EQ(foreign.status, 1);
  EXPECT_NE(foreign.err.find("tpm2_load"), std::string::npos) << foreign.err;
  EXPECT_EQ(loadedHandles(swtpm.tcti()), LoadedHandles{});
  EXPECT_EQ(loadedHandles(other.tcti()), LoadedHandles{});
}

}  // namespace
}  // namespace tarn::test
