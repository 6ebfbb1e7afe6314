// Arbitrary text as a sealed string: refused with the program's words or OpenSSL's, never a
// crash, and a string the structural check refuses never reaches the key.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/failure.hpp"
#include "envelope/envelope.hpp"
#include "envelope/openssl.hpp"

namespace {

// A software key that counts its agreements.
struct Key : tarn::platform::KeyAgreement {
  tarn::envelope::openssl::Pkey own =
      tarn::envelope::openssl::keyPair(std::array<std::uint8_t, 32>{1, 2, 3});
  tarn::Point point = tarn::envelope::openssl::point(own.get());
  int agreements = 0;
  const tarn::Point& publicKey() const override { return point; }
  tarn::SecretBytes sharedSecret(const tarn::Point& peer) override {
    ++agreements;
    return tarn::envelope::openssl::sharedSecret(own.get(),
                                                 tarn::envelope::openssl::publicKey(peer).get());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarn;
  static Key key;
  static const std::string own = envelope::seal("fuzz", key.publicKey());
  std::string_view text(reinterpret_cast<const char*>(data), size);

  bool structural = true;
  try {
    envelope::sealedData(text);
  } catch (const Failure& failure) {
    structural = false;
  }
  int before = key.agreements;
  try {
    SecretString opened = envelope::open(text, key);
    if (!structural) std::abort();
  } catch (const Failure& failure) {
    if (failure.message != "sealed-format") std::abort();
  } catch (const envelope::CryptoError&) {
  }
  if (!structural && key.agreements != before) std::abort();
  // A valid envelope with the fuzzer's bytes spliced over its tail.
  std::string spliced = own.substr(0, std::min(own.size(), size)) + std::string(text);
  try {
    envelope::open(spliced, key);
  } catch (const std::exception&) {
  }
  return 0;
}
