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

typedef struct evp_pkey_st EVP_PKEY;

namespace tarn::envelope {

class Recipient;

namespace detail {
// The sealed string of `text` for `recipient`, with the ephemeral private key `ephemeral` (P-256)
// and `nonce`: what seal() does with fresh ones. The envelope carries the compact form of the
// ephemeral point, d·G or −d·G, which give the recipient the same shared secret.
std::string seal(std::string_view text, const Recipient& recipient, EVP_PKEY* ephemeral,
                 std::span<const std::uint8_t, nonceSize> nonce);
}  // namespace detail

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

 private:
  struct Parts;
  friend std::string seal(std::string_view text, const Recipient& recipient);
  friend std::string detail::seal(std::string_view text, const Recipient& recipient,
                                  EVP_PKEY* ephemeral,
                                  std::span<const std::uint8_t, nonceSize> nonce);

  Point point_;
  std::unique_ptr<Parts> parts_;
};

// Seals `text` (its UTF-8 bytes as they stand) to `recipient`: the Base64 envelope.
std::string seal(std::string_view text, const Recipient& recipient);
// The envelope's 32-byte AES key: HKDF-SHA256 of the shared secret with `salt` and
// info = ephemeral ‖ recipient.
SecretBytes messageKey(std::span<const std::uint8_t> sharedSecret, const Point& ephemeral,
                       const Point& recipient);

// The envelope's bytes after the structural checks that need no key; Failure "sealed-format".
std::vector<std::uint8_t> sealedData(std::string_view sealed);

// The recipient's half of the key agreement: the shared secret with an envelope's ephemeral point.
using Agreement = std::function<SecretBytes(const Point& ephemeral)>;

// The text sealed in `sealed` to `recipient`, whose private key answers `agree`.
SecretString open(std::string_view sealed, const Point& recipient, const Agreement& agree);

}  // namespace tarn::envelope
