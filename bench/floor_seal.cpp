// The least a "seal" can cost: the key loaded as the tool loads it, then per text keygen, ECDH,
// HKDF, AES-256-GCM and Base64 straight with OpenSSL. Envelopes go to standard output, one a line.
//
//   floor_seal --dir STORE --items N --size BYTES < input
//
// The texts are BYTES-long windows of standard input (padded with 't' when it is shorter), so
// the floor reads the same request bytes the tool reads.

#include <openssl/rand.h>

#include <cstdio>
#include <exception>

#include "floor.hpp"

namespace {

using namespace floorbench;

constexpr std::array<std::uint8_t, 32> prime = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// The published point is always the one whose Y is the smaller of Y and p − Y.
void makeCompact(std::span<std::uint8_t, 65> point) {
  std::array<std::uint8_t, 32> other{};
  int borrow = 0;
  for (std::size_t i = 32; i-- > 0;) {
    const int difference = prime[i] - point[33 + i] - borrow;
    borrow = difference < 0 ? 1 : 0;
    other[i] = static_cast<std::uint8_t>(difference + 256 * borrow);
  }
  if (std::ranges::lexicographical_compare(other, point.subspan<33, 32>())) {
    std::ranges::copy(other, point.begin() + 33);
  }
}

class Sealer {
 public:
  explicit Sealer(const Point& recipient)
      : point_(recipient),
        recipient_(publicKey(recipient)),
        keygen_(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)),
        kdf_(EVP_KDF_fetch(nullptr, "HKDF", nullptr)),
        cipher_(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr)) {
    check(keygen_ && kdf_ && cipher_ && EVP_PKEY_keygen_init(keygen_.get()) == 1 &&
              EVP_PKEY_CTX_set_group_name(keygen_.get(), "P-256") == 1,
          "set-up");
  }

  std::string seal(std::string_view text) {
    EVP_PKEY* made = nullptr;
    check(EVP_PKEY_keygen(keygen_.get(), &made) == 1, "keygen");
    const Pkey ephemeral(made);
    std::vector<std::uint8_t> envelope(overhead + text.size());
    envelope[0] = version;
    const auto published = std::span(envelope).subspan<1, 65>();
    std::size_t length = 0;
    check(EVP_PKEY_get_octet_string_param(ephemeral.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                          published.data(), 65, &length) == 1 &&
              length == 65,
          "point");
    makeCompact(published);

    std::array<std::uint8_t, 32> shared{};
    std::size_t sharedLength = shared.size();
    const PkeyContext agree(EVP_PKEY_CTX_new_from_pkey(nullptr, ephemeral.get(), nullptr));
    check(agree && EVP_PKEY_derive_init(agree.get()) == 1 &&
              EVP_PKEY_derive_set_peer_ex(agree.get(), recipient_.get(), 0) == 1 &&
              EVP_PKEY_derive(agree.get(), shared.data(), &sharedLength) == 1,
          "ECDH");
    const auto key = derive(kdf_.get(), shared, published, point_);

    std::uint8_t* nonce = &envelope[nonceOffset];
    check(RAND_bytes(nonce, 12) == 1, "random");
    const CipherContext gcm(EVP_CIPHER_CTX_new());
    int out = 0;
    check(gcm && EVP_EncryptInit_ex2(gcm.get(), cipher_.get(), key.data(), nonce, nullptr) == 1 &&
              EVP_EncryptUpdate(gcm.get(), nullptr, &out, &version, 1) == 1,
          "GCM");
    const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t done = 0; done < text.size();) {
      const std::size_t part = std::min<std::size_t>(text.size() - done, 1 << 30);
      check(EVP_EncryptUpdate(gcm.get(), &envelope[ciphertextOffset + done], &out, in + done,
                              static_cast<int>(part)) == 1,
            "GCM");
      done += part;
    }
    check(EVP_EncryptFinal_ex(gcm.get(), nullptr, &out) == 1 &&
              EVP_CIPHER_CTX_ctrl(gcm.get(), EVP_CTRL_AEAD_GET_TAG, 16,
                                  &envelope[ciphertextOffset + text.size()]) == 1,
          "GCM");

    std::string sealed((envelope.size() + 2) / 3 * 4 + 1, '\0');
    sealed.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(sealed.data()), envelope.data(),
                        static_cast<int>(envelope.size()))));
    return sealed;
  }

 private:
  Point point_;
  Pkey recipient_;
  PkeyContext keygen_;
  Kdf kdf_;
  Cipher cipher_;
};

// What "seal" does with the TPM when the key exists: load it under the parent, read its point.
Point loadKey(const std::string& keyFile) {
  const KeyFile key = readKeyFile(keyFile);
  const Tpm tpm;
  const auto storage = parent(tpm.get());
  ESYS_TR handle = ESYS_TR_NONE;
  tss(Esys_Load(tpm.get(), storage->get(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                &key.privatePart, &key.publicPart, &handle));
  const Transient loaded(tpm.get(), handle);
  return key.point;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  std::size_t items = 1, size = 100;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--dir") dir = argv[i + 1];
    if (name == "--items") items = std::strtoull(argv[i + 1], nullptr, 10);
    if (name == "--size") size = std::strtoull(argv[i + 1], nullptr, 10);
  }
  try {
    ::setenv("TSS2_LOG", "all+NONE", 1);
    const Point recipient = loadKey(dir + "/klucz.se");
    std::string input = readAll(0);
    if (input.size() < size) input.resize(size, 't');
    const std::size_t windows = input.size() - size + 1;
    Sealer sealer(recipient);
    std::string out;
    for (std::size_t i = 0; i < items; ++i) {
      out += sealer.seal(std::string_view(input).substr(i * size % windows, size));
      out += '\n';
      if (out.size() >= (1 << 20)) {
        writeAll(1, out);
        out.clear();
      }
    }
    writeAll(1, out);
    return 0;
  } catch (const std::exception& error) {
    std::printf("floor_seal: %s\n", error.what());
    return 1;
  }
}
