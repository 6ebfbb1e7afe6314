// Sealing one 100-byte text: our seal() against the same steps made straight with OpenSSL,
// which is the floor no envelope code can go under. Prints seal / floor at the end.

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "envelope/envelope.hpp"
#include "envelope/format.hpp"

namespace {

using namespace tarn;

const std::string text(100, 't');

Point recipientPoint() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  Point point{};
  std::size_t length = 0;
  if (key == nullptr || EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                                        point.data(), point.size(), &length) != 1) {
    throw std::runtime_error("key generation failed");
  }
  EVP_PKEY_free(key);
  return point;
}

void check(bool ok) {
  if (!ok) throw std::runtime_error("OpenSSL call failed");
}

// The floor: everything that does not depend on the text is set up once, nothing is wiped,
// no compact point; per text only keygen, ECDH, HKDF, nonce, GCM and Base64.
class Floor {
 public:
  explicit Floor(const Point& recipient) : point_(recipient) {
    EVP_PKEY_CTX* import = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    std::array<char, 11> group = {"prime256v1"};
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group.data(), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point_.data(), point_.size()),
        OSSL_PARAM_construct_end()};
    check(EVP_PKEY_fromdata_init(import) == 1 &&
          EVP_PKEY_fromdata(import, &recipient_, EVP_PKEY_PUBLIC_KEY, params) == 1);
    EVP_PKEY_CTX_free(import);
    keygen_ = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    check(EVP_PKEY_keygen_init(keygen_) == 1 && EVP_PKEY_CTX_set_group_name(keygen_, "P-256") == 1);
    kdf_ = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    cipher_ = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    check(kdf_ != nullptr && cipher_ != nullptr);
  }
  ~Floor() {
    EVP_CIPHER_free(cipher_);
    EVP_KDF_free(kdf_);
    EVP_PKEY_CTX_free(keygen_);
    EVP_PKEY_free(recipient_);
  }

  std::string seal(const std::string& plain) {
    EVP_PKEY* ephemeral = nullptr;
    check(EVP_PKEY_keygen(keygen_, &ephemeral) == 1);
    std::vector<unsigned char> envelope(94 + plain.size());
    envelope[0] = envelope::version;
    std::size_t length = 0;
    check(EVP_PKEY_get_octet_string_param(ephemeral, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                          &envelope[1], 65, &length) == 1);

    unsigned char shared[32];
    std::size_t sharedLength = sizeof shared;
    EVP_PKEY_CTX* derive = EVP_PKEY_CTX_new_from_pkey(nullptr, ephemeral, nullptr);
    check(EVP_PKEY_derive_init(derive) == 1 &&
          EVP_PKEY_derive_set_peer_ex(derive, recipient_, 0) == 1 &&
          EVP_PKEY_derive(derive, shared, &sharedLength) == 1);
    EVP_PKEY_CTX_free(derive);
    EVP_PKEY_free(ephemeral);

    unsigned char info[130];
    std::copy_n(&envelope[1], 65, info);
    std::copy_n(point_.begin(), 65, info + 65);
    unsigned char key[32];
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, shared, sizeof shared),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                          const_cast<unsigned char*>(envelope::salt.data()),
                                          envelope::salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, sizeof info),
        OSSL_PARAM_construct_end()};
    EVP_KDF_CTX* kdf = EVP_KDF_CTX_new(kdf_);
    check(EVP_KDF_derive(kdf, key, sizeof key, params) == 1);
    EVP_KDF_CTX_free(kdf);

    unsigned char* nonce = &envelope[66];
    check(RAND_bytes(nonce, 12) == 1);
    EVP_CIPHER_CTX* gcm = EVP_CIPHER_CTX_new();
    int out = 0;
    const unsigned char aad = envelope::version;
    check(EVP_EncryptInit_ex2(gcm, cipher_, key, nonce, nullptr) == 1 &&
          EVP_EncryptUpdate(gcm, nullptr, &out, &aad, 1) == 1 &&
          EVP_EncryptUpdate(gcm, &envelope[78], &out,
                            reinterpret_cast<const unsigned char*>(plain.data()),
                            static_cast<int>(plain.size())) == 1 &&
          EVP_EncryptFinal_ex(gcm, nullptr, &out) == 1 &&
          EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_AEAD_GET_TAG, 16, &envelope[78 + plain.size()]) == 1);
    EVP_CIPHER_CTX_free(gcm);

    std::string sealed((envelope.size() + 2) / 3 * 4 + 1, '\0');
    sealed.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(sealed.data()), envelope.data(),
                                  static_cast<int>(envelope.size())));
    return sealed;
  }

 private:
  Point point_;
  EVP_PKEY* recipient_ = nullptr;
  EVP_PKEY_CTX* keygen_ = nullptr;
  EVP_KDF* kdf_ = nullptr;
  EVP_CIPHER* cipher_ = nullptr;
};

void floorSeal(benchmark::State& state) {
  Floor floor(recipientPoint());
  for (auto _ : state) benchmark::DoNotOptimize(floor.seal(text));
}

void seal(benchmark::State& state) {
  const envelope::Recipient recipient(recipientPoint());
  for (auto _ : state) benchmark::DoNotOptimize(envelope::seal(text, recipient));
}

// The one-text overload, which parses the recipient every time: for comparison only.
void sealParsingRecipient(benchmark::State& state) {
  const Point recipient = recipientPoint();
  for (auto _ : state) benchmark::DoNotOptimize(envelope::seal(text, recipient));
}

BENCHMARK(floorSeal)->Name("floor");
BENCHMARK(seal)->Name("seal");
BENCHMARK(sealParsingRecipient)->Name("seal(point)");

// Keeps each benchmark's time per item so that the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median CPU time over repetitions: the work is single-threaded and CPU-bound, and CPU
  // time is less disturbed by other processes on the machine.
  double time(const std::string& name) {
    std::vector<double>& all = times[name];
    if (all.empty()) return 0;
    std::sort(all.begin(), all.end());
    return all[all.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double floor = reporter.time("floor"), sealed = reporter.time("seal");
  if (floor > 0 && sealed > 0) {
    std::printf("seal / floor per item: %.3f (target <= 1.15)\n", sealed / floor);
  }
  return 0;
}
