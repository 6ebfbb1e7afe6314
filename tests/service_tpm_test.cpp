// The custody service's TPM side against the swtpm run.py starts, where the black-box rows cannot
// reach.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <sys/wait.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.hpp"
#include "envelope/openssl.hpp"
#include "service/deadline.hpp"
#include "service/key.hpp"
#include "service/key_format.hpp"
#include "service/service_secret.hpp"
#include "service/tpm_session_crypto.hpp"
#include "service/tpm_templates.hpp"

namespace tarn::service {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string refusal(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Each test has a state directory of its own with a new secret in it.
class ServiceTpm : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::getenv("TARN_WEMB_TCTI")) << "run me through blackbox/run.py --with-swtpm";
    char name[] = "/tmp/tarn-service-tpm-XXXXXX";
    state = ::mkdtemp(name);
    ::setenv("STATE_DIRECTORY", state.c_str(), 1);
    makeSecret();
  }
  void TearDown() override { fs::remove_all(state); }
  fs::path state;
};

// A salt the TPM would trim: the key must still load and agree as OpenSSL does.
TEST_F(ServiceTpm, AnAuthValueEndingInZeroStillWorks) {
  const ServiceSecret secret = ServiceSecret::read();
  std::array<std::uint8_t, 32> salt{};
  for (std::uint32_t n = 0; n < 100000 && secret.authValue(1000, salt).size() == 32; ++n) {
    std::memcpy(salt.data(), &n, sizeof n);
  }
  ASSERT_LT(secret.authValue(1000, salt).size(), 32u);
  Tpm tpm;
  const MadeKey made = makeKey(tpm, secret, 1000, salt);
  UsableKey key = loadKey(tpm, made.file, secret, 1000);
  EXPECT_EQ(key.point(), made.point);
  envelope::openssl::Pkey peer(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  EXPECT_EQ(
      key.agree(envelope::openssl::point(peer.get())),
      envelope::openssl::sharedSecret(peer.get(), envelope::openssl::publicKey(made.point).get()));
}

// Faults in the file's own bytes no caller meets by accident.
TEST_F(ServiceTpm, KeyFilesThatCannotServeAreRefusedWithTheirReason) {
  Tpm tpm;
  const ServiceSecret secret = ServiceSecret::read();
  const Bytes file = makeKey(tpm, secret, 1000).file;
  const std::size_t publicEnd = keyFileHeaderSize + 2 + (file[44] << 8 | file[45]);
  const struct {
    const char* name;
    std::function<void(Bytes&)> change;
    std::string error;
  } cases[] = {
      {"its own", [](Bytes&) {}, ""},
      {"a header cut short", [](Bytes& f) { f.resize(keyFileHeaderSize - 1); },
       "the key file is of an old form: move it away and seal again"},
      {"another mark", [](Bytes& f) { f[3] = 0x32; },
       "the key file is of a form this service does not know"},
      {"a private part not this TPM's", [&](Bytes& f) { f[publicEnd + 6] ^= 1; },
       "the key was made by another TPM, or this TPM was cleared"},
      {"a byte after it", [](Bytes& f) { f.push_back(0); },
       "the key data has 1 bytes after its private part"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes changed = file;
    c.change(changed);
    EXPECT_EQ(refusal([&] { loadKey(tpm, changed, secret, 1000); }), c.error);
  }
}

// KDFa is SP 800-108's counter mode with HMAC, KDFe SP 800-56A's one-step KDF (TPM 2.0's own
// definitions): each against OpenSSL's KBKDF and SSKDF, and the salt against an ECDH of our own.
TEST(SessionCrypto, KdfsAndSaltAreTheTpmsDefinitions) {
  const Bytes key = {1, 2, 3, 4, 5, 6, 7, 8}, u(32, 0xa5), v(20, 0x5a);
  const auto openssl = [](const char* kdf, std::vector<OSSL_PARAM> params, std::size_t size) {
    EVP_KDF* fetched = EVP_KDF_fetch(nullptr, kdf, nullptr);
    EVP_KDF_CTX* context = EVP_KDF_CTX_new(fetched);
    params.push_back(OSSL_PARAM_construct_end());
    Bytes out(size);
    EXPECT_EQ(EVP_KDF_derive(context, out.data(), size, params.data()), 1);
    EVP_KDF_CTX_free(context);
    EVP_KDF_free(fetched);
    return out;
  };
  char sha256[] = "SHA256", hmac[] = "HMAC", label[] = "ATH", secret[] = "SECRET";
  Bytes context = u, info(secret, secret + 7);
  context.insert(context.end(), v.begin(), v.end());
  info.insert(info.end(), context.begin(), context.end());
  for (const std::size_t bits : {128u, 256u, 384u}) {
    SCOPED_TRACE(bits);
    const Bytes kbkdf = openssl(
        "KBKDF",
        {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_MAC, hmac, 0),
         OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, sha256, 0),
         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                           const_cast<std::uint8_t*>(key.data()), key.size()),
         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, label, 3),
         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, context.data(), context.size())},
        bits / 8);
    const SecretBytes ours = kdfa(key, "ATH", u, v, bits);
    EXPECT_EQ(Bytes(ours.begin(), ours.end()), kbkdf);
    const Bytes sskdf =
        openssl("SSKDF",
                {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, sha256, 0),
                 OSSL_PARAM_construct_octet_string(
                     OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key.data()), key.size()),
                 OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size())},
                bits / 8);
    const SecretBytes mine = kdfe(key, "SECRET", u, v, bits);
    EXPECT_EQ(Bytes(mine.begin(), mine.end()), sskdf);
  }
  // the storage parent's part, played by a key of our own: its ECDH with the salt's point
  envelope::openssl::Pkey parent(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  const Point parentPoint = envelope::openssl::point(parent.get());
  TPMS_ECC_POINT tpmPoint{{32, {}}, {32, {}}};
  std::memcpy(tpmPoint.x.buffer, parentPoint.data() + 1, 32);
  std::memcpy(tpmPoint.y.buffer, parentPoint.data() + 33, 32);
  const Salt salt = saltFor(tpmPoint);
  TPMS_ECC_POINT ephemeral{};
  std::size_t offset = 0;
  ASSERT_EQ(Tss2_MU_TPMS_ECC_POINT_Unmarshal(salt.encrypted.secret, salt.encrypted.size, &offset,
                                             &ephemeral),
            0u);
  EXPECT_EQ(offset, salt.encrypted.size);
  const SecretBytes z = envelope::openssl::sharedSecret(
      parent.get(), envelope::openssl::publicKey(pointOf(ephemeral)).get());
  const SecretBytes expected =
      kdfe(z, "SECRET", {ephemeral.x.buffer, 32}, {tpmPoint.x.buffer, 32}, 256);
  EXPECT_EQ(salt.value, expected);
  EXPECT_NE(saltFor(tpmPoint).value, salt.value);
}

// A TCTI that keeps every command and response passing through it to the TPM.
struct Recorder {
  TSS2_TCTI_CONTEXT_COMMON_V2 common{};
  TSS2_TCTI_CONTEXT* inner = nullptr;
  std::vector<std::pair<Bytes, Bytes>> exchanges;

  static Recorder& of(TSS2_TCTI_CONTEXT* context) { return *reinterpret_cast<Recorder*>(context); }
  explicit Recorder(const char* tcti) {
    EXPECT_EQ(Tss2_TctiLdr_Initialize(tcti, &inner), 0u);
    common.v1.version = 2;
    common.v1.transmit = [](TSS2_TCTI_CONTEXT* c, std::size_t size, const std::uint8_t* command) {
      of(c).exchanges.emplace_back(Bytes(command, command + size), Bytes());
      return Tss2_Tcti_Transmit(of(c).inner, size, command);
    };
    common.v1.receive = [](TSS2_TCTI_CONTEXT* c, std::size_t* size, std::uint8_t* response,
                           std::int32_t timeout) {
      const TSS2_RC rc = Tss2_Tcti_Receive(of(c).inner, size, response, timeout);
      if (rc == 0 && response != nullptr)
        of(c).exchanges.back().second.assign(response, response + *size);
      return rc;
    };
    common.v1.finalize = [](TSS2_TCTI_CONTEXT*) {};
  }
  ~Recorder() { Tss2_TctiLdr_Finalize(&inner); }
  TSS2_TCTI_CONTEXT* tcti() { return reinterpret_cast<TSS2_TCTI_CONTEXT*>(this); }
  const std::pair<Bytes, Bytes>& last(TPM2_CC code) const {
    for (auto at = exchanges.rbegin(); at != exchanges.rend(); ++at) {
      if (Bytes(at->first.begin() + 6, at->first.begin() + 10) ==
          Bytes{0, 0, 1, static_cast<std::uint8_t>(code)})
        return *at;
    }
    throw std::runtime_error("no such command");
  }
};

// A size-prefixed field of a TPM command or response at `at`, which moves past it.
Bytes field(const Bytes& bytes, std::size_t& at) {
  const std::size_t size = bytes.at(at) << 8 | bytes.at(at + 1);
  at += 2 + size;
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at - size),
               bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// ESYS runs an ECDH_ZGen in a session bound to an object of known auth value, with response
// encryption: the session layer must find the same session key, HMACs and plaintext.
TEST_F(ServiceTpm, SessionMathIsEsyssToo) {
  Recorder recorder(std::getenv("TARN_WEMB_TCTI"));
  ESYS_CONTEXT* esys = nullptr;
  ASSERT_EQ(Esys_Initialize(&esys, recorder.tcti(), nullptr), 0u);
  const Bytes bindAuth = {'b', 'i', 'n', 'd'}, keyAuth = {'k', 'e', 'y', '!'};
  ESYS_TR handles[2];
  TPM2B_PUBLIC* made[2];
  const TPM2B_PUBLIC templates[] = {parentTemplate(), keyTemplate()};
  for (int i = 0; i < 2; ++i) {
    TPM2B_SENSITIVE_CREATE sensitive{};
    const Bytes& auth = i == 0 ? bindAuth : keyAuth;
    sensitive.sensitive.userAuth.size = static_cast<UINT16>(auth.size());
    std::memcpy(sensitive.sensitive.userAuth.buffer, auth.data(), auth.size());
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    ASSERT_EQ(Esys_CreatePrimary(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                 ESYS_TR_NONE, &sensitive, &templates[i], &outside, &pcrs,
                                 &handles[i], &made[i], nullptr, nullptr, nullptr),
              0u);
    ASSERT_EQ(Esys_TR_SetAuth(esys, handles[i], &sensitive.sensitive.userAuth), 0u);
  }
  const TPMT_SYM_DEF aes{TPM2_ALG_AES, {.aes = 128}, {.aes = TPM2_ALG_CFB}};
  ESYS_TR session = ESYS_TR_NONE;
  ASSERT_EQ(
      Esys_StartAuthSession(esys, ESYS_TR_NONE, handles[0], ESYS_TR_NONE, ESYS_TR_NONE,
                            ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &aes, TPM2_ALG_SHA256, &session),
      0u);
  const TPMA_SESSION attributes = TPMA_SESSION_CONTINUESESSION | TPMA_SESSION_ENCRYPT;
  ASSERT_EQ(Esys_TRSess_SetAttributes(esys, session, attributes, 0xff), 0u);
  TPM2B_ECC_POINT in{};
  in.point = made[1]->publicArea.unique.ecc;  // the key's product with itself: any point will do
  TPM2B_ECC_POINT* product = nullptr;
  ASSERT_EQ(Esys_ECDH_ZGen(esys, handles[1], session, ESYS_TR_NONE, ESYS_TR_NONE, &in, &product),
            0u);
  TPM2B_NAME* name = nullptr;
  ASSERT_EQ(Esys_TR_GetName(esys, handles[1], &name), 0u);

  const auto& [start, started] = recorder.last(TPM2_CC_StartAuthSession);
  std::size_t at = 18, back = 14;
  const Bytes nonceCaller0 = field(start, at), nonceTpm0 = field(started, back);
  const SecretBytes sessionKey = kdfa(bindAuth, "ATH", nonceTpm0, nonceCaller0, 256);
  Bytes value(sessionKey.begin(), sessionKey.end());
  value.insert(value.end(), keyAuth.begin(), keyAuth.end());

  const auto& [command, response] = recorder.last(TPM2_CC_ECDH_ZGen);
  at = 22;
  const Bytes nonceCaller = field(command, at);
  const std::uint8_t commandAttributes = command.at(at++);
  const Bytes commandHmac = field(command, at);
  EXPECT_EQ(commandAttributes, attributes);
  const Digest cpHash =
      commandHash(TPM2_CC_ECDH_ZGen, {name->name, name->size},
                  Bytes(command.begin() + static_cast<std::ptrdiff_t>(at), command.end()));
  const Digest ours = sessionHmac(value, cpHash, nonceCaller, nonceTpm0, attributes);
  EXPECT_EQ(Bytes(ours.begin(), ours.end()), commandHmac);

  const std::size_t parametersSize = response.at(12) << 8 | response.at(13);
  Bytes parameters(response.begin() + 14,
                   response.begin() + 14 + static_cast<std::ptrdiff_t>(parametersSize));
  at = 14 + parametersSize;
  const Bytes nonceTpm = field(response, at);
  const std::uint8_t responseAttributes = response.at(at++);
  const Bytes responseHmac = field(response, at);
  const Digest theirs = sessionHmac(value, responseHash(TPM2_CC_ECDH_ZGen, parameters), nonceTpm,
                                    nonceCaller, responseAttributes);
  EXPECT_EQ(Bytes(theirs.begin(), theirs.end()), responseHmac);

  decryptParameter(value, nonceTpm, nonceCaller, std::span(parameters).subspan(2));
  TPM2B_ECC_POINT plain{};
  std::size_t offset = 0;
  ASSERT_EQ(
      Tss2_MU_TPM2B_ECC_POINT_Unmarshal(parameters.data(), parameters.size(), &offset, &plain), 0u);
  EXPECT_EQ(pointOf(plain.point), pointOf(product->point));
  EXPECT_NE(Bytes(response.begin() + 16, response.begin() + 48),
            Bytes(product->point.x.buffer, product->point.x.buffer + 32));

  for (ESYS_TR handle : {session, handles[0], handles[1]}) Esys_FlushContext(esys, handle);
  for (void* allocated : {static_cast<void*>(product), static_cast<void*>(name),
                          static_cast<void*>(made[0]), static_cast<void*>(made[1])})
    Esys_Free(allocated);
  Esys_Finalize(&esys);
}

TEST_F(ServiceTpm, TheSecretIsMadeOnceAndMustBeWhole) {
  const Bytes first = readFile(state / "secret");
  EXPECT_EQ(first.size(), secretSize);
  EXPECT_EQ(fs::status(state / "secret").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  makeSecret();
  EXPECT_EQ(readFile(state / "secret"), first);
  EXPECT_EQ(std::distance(fs::directory_iterator(state), {}), 1);
  const std::string none = "the custody service has no secret: restore /var/lib/tarn-wemb";
  const struct {
    std::size_t size;
    std::string error;
  } cases[] = {{32, ""}, {31, none}, {33, none}, {0, none}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::ofstream(state / "secret", std::ios::binary) << std::string(c.size, '\7');
    EXPECT_EQ(refusal([] { ServiceSecret::read(); }), c.error);
  }
}

// Each case runs in a child of this process, whose watcher already runs: the child needs its own.
TEST(Deadline, EndsTheProcessWithItsWordOnlyWhenItRunsOut) {
  constexpr std::string_view tpm = "the TPM did not answer within 30 seconds";
  const std::string tpmSaid = "{\"error\":\"" + std::string(tpm) + "\"}" + std::string(1, '\0');
  const struct {
    int earlier;        // seconds of a deadline met before this one, 0 for none
    int limit, inner;   // seconds; inner: a deadline begun inside it after 0.2 s, 0 for none
    int inside, after;  // milliseconds asleep under the deadlines, and after they have gone
    std::string why, said;
    int status;
  } cases[] = {
      {0, 1, 0, 0, 0, "late", "", 0},
      {0, 1, 0, 0, 2500, "an ended deadline stays quiet", "", 0},
      {0, 1, 0, 2500, 0, std::string(tpm), tpmSaid, 1},
      {0, 1, 0, 2500, 0, "a \"quoted\" \\ why",
       "{\"error\":\"a \\\"quoted\\\" \\\\ why\"}" + std::string(1, '\0'), 1},
      {0, 1, 30, 2500, 0, std::string(tpm), tpmSaid, 1},
      {0, 30, 1, 2500, 0, std::string(tpm), tpmSaid, 1},
      {30, 1, 0, 2500, 0, std::string(tpm), tpmSaid, 1},
  };
  { const Deadline warm(std::chrono::seconds(30), tpm); }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why + " " + std::to_string(c.earlier) + "/" + std::to_string(c.limit) + "/" +
                 std::to_string(c.inner));
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ends[0]);
      setLastWordTo(ends[1]);
      const std::string_view why = c.why;
      if (c.earlier != 0) {
        const Deadline met(std::chrono::seconds(c.earlier), why);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      {
        const Deadline deadline(std::chrono::seconds(c.limit), why);
        std::optional<Deadline> inner;
        if (c.inner != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          inner.emplace(std::chrono::seconds(c.inner), why);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(c.inside));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(c.after));
      ::_exit(0);
    }
    ::close(ends[1]);
    std::string said;
    char buffer[256];
    while (const ssize_t n = ::read(ends[0], buffer, sizeof buffer)) {
      if (n < 0) break;
      said.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(said, c.said);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
  }
}

}  // namespace
}  // namespace tarn::service
