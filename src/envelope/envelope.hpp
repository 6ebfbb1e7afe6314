#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/point.hpp"
#include "base/secret.hpp"
#include "envelope/format.hpp"

namespace tarn::envelope {

// An error of the cryptographic library; what() is OpenSSL's own description.
struct CryptoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A recipient's public key made ready for sealing: parsed and checked once (CryptoError when
// it is not a point on P-256), with the key-generation setup every text sealed to it reuses.
// One thread at a time.
class Recipient {
 public:
  explicit Recipient(const Point& point);
  ~Recipient();
  Recipient(Recipient&&) noexcept;
  Recipient& operator=(Recipient&&) noexcept;

  const Point& point() const { return point_; }

  struct Parts;
  Parts& parts() const { return *parts_; }

 private:
  Point point_;
  std::unique_ptr<Parts> parts_;
};

// Seals `text` (its UTF-8 bytes as they stand) to `recipient`: the Base64 envelope.
std::string seal(std::string_view text, const Recipient& recipient);
// The same, for one text: parses the recipient on every call.
std::string seal(std::string_view text, const Point& recipient);

// HKDF-SHA256 of the shared secret with `salt` and info = first ‖ second: the 32-byte AES key.
// `first` is always the envelope's ephemeral key, `second` the recipient's.
SecretBytes symmetric(std::span<const std::uint8_t> sharedSecret, const Point& first,
                      const Point& second);

// The envelope's bytes after the structural checks that need no key; Failure "sealed-format".
std::vector<std::uint8_t> sealedData(std::string_view sealed);

// The text sealed in `sealed` to `recipient`; `agree` gives the recipient key's ECDH shared
// secret with the envelope's ephemeral key.
SecretString open(std::string_view sealed, const Point& recipient,
                  const std::function<SecretBytes(const Point& ephemeral)>& agree);

}  // namespace tarn::envelope
