#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/point.hpp"
#include "base/secret.hpp"
#include "envelope/format.hpp"

namespace tarn::envelope {

// A sealed string taken apart: everything in it that can be checked without the recipient's key
// has been.
struct Sealed {
  Point ephemeral;  // uncompressed and on P-256
  std::array<std::uint8_t, nonceSize> nonce;
  std::vector<std::uint8_t> ciphertext;  // as long as the text; empty for the empty text
  std::array<std::uint8_t, tagSize> tag;
};

// Failure "sealed-format" unless `sealed` is strict Base64 of version ‖ point ‖ nonce ‖
// ciphertext ‖ tag whose point is an uncompressed point on P-256.
Sealed parse(std::string_view sealed);

// The text sealed in `sealed` to `recipient`, given the ECDH shared secret of the recipient's key
// with sealed.ephemeral. The library's error when the tag fails; Failure "sealed-format" when
// the text is not UTF-8.
SecretString open(const Sealed& sealed, const Point& recipient,
                  std::span<const std::uint8_t, 32> sharedSecret);

class Recipient;

namespace detail {
// The sealed string of `text` for `recipient` with the ephemeral private scalar `ephemeral`
// (big-endian, below the group order) and `nonce`: what seal() does with fresh ones. The envelope
// carries the compact form of the ephemeral point, d·G or −d·G, which give the same shared secret.
std::string seal(std::string_view text, const Recipient& recipient,
                 std::span<const std::uint8_t, 32> ephemeral,
                 std::span<const std::uint8_t, nonceSize> nonce);
}  // namespace detail

// A recipient's public key made ready for sealing: parsed and checked once (the library's error
// when it is not a point on P-256), with the key-generation setup every text sealed to it reuses.
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
                                  std::span<const std::uint8_t, 32> ephemeral,
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

}  // namespace tarn::envelope
