// Arbitrary text as a sealed string: refused with the program's words or OpenSSL's, never a
// crash; whatever parses has a point the library takes, so the key never meets a bad one; and
// every UTF-8 text seals and opens back to itself.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.hpp"
#include "base/text.hpp"
#include "envelope/envelope.hpp"
#include "envelope/openssl.hpp"

namespace {

using namespace tarn;

const envelope::openssl::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
const Point recipient = envelope::openssl::point(key.get());

std::optional<SecretString> opened(std::string_view text) {
  envelope::Sealed sealed;
  try {
    sealed = envelope::parse(text);
  } catch (const Failure& failure) {
    if (failure.message != "sealed-format") std::abort();
    return std::nullopt;
  }
  SecretBytes shared;
  try {
    shared = envelope::openssl::sharedSecret(key.get(),
                                             envelope::openssl::publicKey(sealed.ephemeral).get());
  } catch (const envelope::openssl::CryptoError&) {
    std::abort();
  }
  try {
    return envelope::open(sealed, recipient, std::span(shared).first<32>());
  } catch (const Failure& failure) {
    if (failure.message != "sealed-format") std::abort();
  } catch (const envelope::openssl::CryptoError&) {
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const envelope::Recipient sealer(recipient);
  static const std::string own = envelope::seal("fuzz", sealer);
  std::string_view text(reinterpret_cast<const char*>(data), size);

  opened(text);
  // A valid envelope with the fuzzer's bytes spliced over its tail.
  opened(own.substr(0, std::min(own.size(), size)) + std::string(text));
  if (isUtf8(text)) {
    std::optional<SecretString> back = opened(envelope::seal(text, sealer));
    if (!back || std::string_view(*back) != text) std::abort();
  }
  return 0;
}
