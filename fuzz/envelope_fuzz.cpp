// Arbitrary text as a sealed string: refused with the program's words or OpenSSL's, never a
// crash, and a string the structural check refuses never reaches the key.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/failure.hpp"
#include "envelope/envelope.hpp"
#include "envelope/openssl.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarn;
  static const envelope::openssl::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  static const Point recipient = envelope::openssl::point(key.get());
  static const std::string own = envelope::seal("fuzz", envelope::Recipient(recipient));
  static int agreements = 0;
  const envelope::Agreement agree = [](const Point& peer) {
    ++agreements;
    return envelope::openssl::sharedSecret(key.get(), envelope::openssl::publicKey(peer).get());
  };
  std::string_view text(reinterpret_cast<const char*>(data), size);

  bool structural = true;
  try {
    envelope::sealedData(text);
  } catch (const Failure& failure) {
    structural = false;
  }
  int before = agreements;
  try {
    SecretString opened = envelope::open(text, recipient, agree);
    if (!structural) std::abort();
  } catch (const Failure& failure) {
    if (failure.message != "sealed-format") std::abort();
  } catch (const envelope::CryptoError&) {
  }
  if (!structural && agreements != before) std::abort();
  // A valid envelope with the fuzzer's bytes spliced over its tail.
  std::string spliced = own.substr(0, std::min(own.size(), size)) + std::string(text);
  try {
    envelope::open(spliced, recipient, agree);
  } catch (const std::exception&) {
  }
  return 0;
}
