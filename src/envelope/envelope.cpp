#include "envelope/envelope.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>

#include "base/base64.hpp"
#include "base/failure.hpp"
#include "base/text.hpp"
#include "envelope/openssl.hpp"

namespace tarn::envelope {

struct Recipient::Parts {
  openssl::Pkey key;
  // Made once per recipient: set up anew for each text, it doubles the cost of key generation.
  openssl::PkeyContext keygen;
};

namespace {

// P-256's field prime p.
constexpr std::array<std::uint8_t, 32> prime = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

constexpr std::size_t pointOffset = 1;
constexpr std::size_t nonceOffset = pointOffset + pointSize;
constexpr std::size_t ciphertextOffset = nonceOffset + nonceSize;

// EVP's update calls take an int length.
constexpr std::size_t chunk = std::size_t{1} << 30;

// Publishes −P instead of P = d·G when P's Y is the larger of Y and p − Y. Equivalent to using
// n − d: d·R and (n − d)·R = −(d·R) have the same X coordinate, the whole of the shared secret.
void makeCompact(Point& point) {
  const auto y = std::span(point).subspan<33, 32>();
  if (compactY(y)) return;
  int borrow = 0;
  for (std::size_t i = y.size(); i-- > 0;) {
    const int difference = prime[i] - y[i] - borrow;
    borrow = difference < 0 ? 1 : 0;
    y[i] = static_cast<std::uint8_t>(difference + 256 * borrow);
  }
}

const std::uint8_t* bytesOf(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

openssl::CipherContext gcm(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                           bool encrypting) {
  openssl::Cipher cipher(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  openssl::CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  if (!cipher || !context ||
      EVP_CipherInit_ex2(context.get(), cipher.get(), key.data(), nonce.data(), encrypting ? 1 : 0,
                         nullptr) != 1 ||
      EVP_CipherUpdate(context.get(), nullptr, &length, &version, 1) != 1) {
    openssl::fail("AES-GCM set-up failed");
  }
  return context;
}

// Runs `in` through the cipher into `out` (same length).
void update(EVP_CIPHER_CTX* context, const std::uint8_t* in, std::size_t size, std::uint8_t* out) {
  for (std::size_t done = 0; done < size;) {
    const std::size_t part = std::min(size - done, chunk);
    int length = 0;
    if (EVP_CipherUpdate(context, out + done, &length, in + done, static_cast<int>(part)) != 1 ||
        static_cast<std::size_t>(length) != part) {
      openssl::fail("AES-GCM failed");
    }
    done += part;
  }
}

void encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
             std::string_view text, std::uint8_t* ciphertext, std::span<std::uint8_t, 16> tag) {
  const openssl::CipherContext context = gcm(key, nonce, true);
  update(context.get(), bytesOf(text), text.size(), ciphertext);
  int length = 0;
  if (EVP_EncryptFinal_ex(context.get(), nullptr, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, tagSize, tag.data()) != 1) {
    openssl::fail("AES-GCM encryption failed");
  }
}

void decrypt(std::span<const std::uint8_t> key, const Sealed& sealed, std::uint8_t* plaintext) {
  // EVP_CTRL_AEAD_SET_TAG takes a pointer to modifiable bytes
  std::array<std::uint8_t, tagSize> tag = sealed.tag;
  const openssl::CipherContext context = gcm(key, sealed.nonce, false);
  update(context.get(), sealed.ciphertext.data(), sealed.ciphertext.size(), plaintext);
  int length = 0;
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, tagSize, tag.data()) != 1) {
    openssl::fail("AES-GCM set-up failed");
  }
  if (EVP_DecryptFinal_ex(context.get(), nullptr, &length) != 1) {
    openssl::fail("AES-GCM authentication failed");
  }
}

// HKDF-SHA256 (RFC 5869) of `ikm` with `salt` and `info`, filling `okm`.
void hkdf(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
          std::span<const std::uint8_t> info, std::span<std::uint8_t> okm) {
  const openssl::Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  const openssl::KdfContext context(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  std::array<char, 7> digest = {"SHA256"};
  auto octets = [](const char* name, std::span<const std::uint8_t> bytes) {
    return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()),
                                             bytes.size());
  };
  std::array<OSSL_PARAM, 5> params{};
  auto param = params.begin();
  *param++ = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest.data(), 0);
  *param++ = octets(OSSL_KDF_PARAM_KEY, ikm);
  // Left out when empty, which means the same to HKDF: OpenSSL refuses a zero-length parameter.
  if (!salt.empty()) *param++ = octets(OSSL_KDF_PARAM_SALT, salt);
  if (!info.empty()) *param++ = octets(OSSL_KDF_PARAM_INFO, info);
  *param = OSSL_PARAM_construct_end();
  if (!context || EVP_KDF_derive(context.get(), okm.data(), okm.size(), params.data()) != 1) {
    openssl::fail("HKDF failed");
  }
}

std::string sealWith(std::string_view text, const Point& recipient, EVP_PKEY* recipientKey,
                     EVP_PKEY* ephemeral, std::span<const std::uint8_t, nonceSize> nonce) {
  Point point = openssl::point(ephemeral);
  makeCompact(point);
  const SecretBytes shared = openssl::sharedSecret(ephemeral, recipientKey);
  const SecretBytes key = messageKey(shared, point, recipient);

  std::vector<std::uint8_t> envelope(overhead + text.size());
  envelope[0] = version;
  std::ranges::copy(point, envelope.begin() + pointOffset);
  std::ranges::copy(nonce, envelope.begin() + nonceOffset);
  encrypt(key, nonce, text, envelope.data() + ciphertextOffset,
          std::span(envelope).last<tagSize>());
  return base64Encode(envelope);
}

}  // namespace

Recipient::Recipient(const Point& point) : point_(point), parts_(std::make_unique<Parts>()) {
  ERR_clear_error();
  parts_->key = openssl::publicKey(point);
  parts_->keygen.reset(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!parts_->keygen || EVP_PKEY_keygen_init(parts_->keygen.get()) != 1 ||
      EVP_PKEY_CTX_set_group_name(parts_->keygen.get(), "P-256") != 1) {
    openssl::fail("EC key generation set-up failed");
  }
}

Recipient::~Recipient() = default;
Recipient::Recipient(Recipient&&) noexcept = default;
Recipient& Recipient::operator=(Recipient&&) noexcept = default;

namespace detail {

std::string seal(std::string_view text, const Recipient& recipient,
                 std::span<const std::uint8_t, 32> ephemeral,
                 std::span<const std::uint8_t, nonceSize> nonce) {
  ERR_clear_error();
  const openssl::Pkey key = openssl::keyPair(ephemeral);
  return sealWith(text, recipient.point(), recipient.parts_->key.get(), key.get(), nonce);
}

}  // namespace detail

std::string seal(std::string_view text, const Recipient& recipient) {
  // A failure's description is the oldest queued error: none may be left from elsewhere.
  ERR_clear_error();
  EVP_PKEY* fresh = nullptr;
  if (EVP_PKEY_keygen(recipient.parts_->keygen.get(), &fresh) != 1) {
    openssl::fail("EC key generation failed");
  }
  const openssl::Pkey ephemeral(fresh);
  std::array<std::uint8_t, nonceSize> nonce{};
  if (RAND_bytes(nonce.data(), nonce.size()) != 1) openssl::fail("random generator failed");
  return sealWith(text, recipient.point(), recipient.parts_->key.get(), ephemeral.get(), nonce);
}

SecretBytes messageKey(std::span<const std::uint8_t> sharedSecret, const Point& ephemeral,
                       const Point& recipient) {
  std::array<std::uint8_t, 2 * pointSize> info{};
  std::ranges::copy(ephemeral, info.begin());
  std::ranges::copy(recipient, info.begin() + pointSize);
  SecretBytes key(32);
  hkdf(sharedSecret, salt, info, key);
  return key;
}

Sealed parse(std::string_view text) {
  std::optional<std::vector<std::uint8_t>> bytes = base64Decode(text);
  if (!bytes || bytes->size() < minimumSize || bytes->front() != version) {
    throw Failure("sealed-format");
  }
  Sealed sealed{};
  const auto envelope = std::span(*bytes);
  std::ranges::copy(envelope.subspan<pointOffset, pointSize>(), sealed.ephemeral.begin());
  // a point off the curve can never open: refused with the other faults, before anyone is asked
  if (!openssl::onCurve(sealed.ephemeral)) throw Failure("sealed-format");
  std::ranges::copy(envelope.subspan<nonceOffset, nonceSize>(), sealed.nonce.begin());
  std::ranges::copy(envelope.last<tagSize>(), sealed.tag.begin());
  bytes->resize(bytes->size() - tagSize);
  bytes->erase(bytes->begin(), bytes->begin() + ciphertextOffset);
  sealed.ciphertext = std::move(*bytes);
  return sealed;
}

SecretString open(const Sealed& sealed, const Point& recipient,
                  std::span<const std::uint8_t, 32> sharedSecret) {
  // whatever computed the shared secret may use OpenSSL too: a failure here must not wear its
  // leftovers
  ERR_clear_error();
  const SecretBytes key = messageKey(sharedSecret, sealed.ephemeral, recipient);
  SecretString text = secretString(sealed.ciphertext.size());
  text.resize(sealed.ciphertext.size());
  decrypt(key, sealed, reinterpret_cast<std::uint8_t*>(text.data()));
  if (!isUtf8(text)) throw Failure("sealed-format");
  return text;
}

}  // namespace tarn::envelope
