#pragma once

// What the floor programs share: the TPM steps and the envelope's primitives, written straight
// against tpm2-tss and OpenSSL, without the tarn library, so they cost only what the work costs.

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace floorbench {

template <auto F>
struct Free {
  void operator()(auto* p) const noexcept { F(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Free<&EVP_PKEY_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, Free<&EVP_PKEY_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Free<&EVP_KDF_free>>;
using KdfContext = std::unique_ptr<EVP_KDF_CTX, Free<&EVP_KDF_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Free<&EVP_CIPHER_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Free<&EVP_CIPHER_CTX_free>>;
using Point = std::array<std::uint8_t, 65>;

// The envelope's fixed parts: version ‖ ephemeral point ‖ nonce ‖ ciphertext ‖ tag.
inline constexpr std::uint8_t version = 1;
inline constexpr std::array<std::uint8_t, 12> salt = {'t', 'a', 'r', 'n', '-', 'w',
                                                      'e', 'm', 'b', '-', 'v', '1'};
inline constexpr std::size_t nonceOffset = 66;
inline constexpr std::size_t ciphertextOffset = 78;
inline constexpr std::size_t overhead = 94;

inline void check(bool ok, const char* what) {
  if (ok) return;
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  throw std::runtime_error(std::string(what) + ": " + text);
}

inline void tss(TSS2_RC rc) {
  if (rc != TSS2_RC_SUCCESS) throw std::runtime_error(Tss2_RC_Decode(rc));
}

inline std::string readAll(int fd) {
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

inline void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The ESYS context on the TCTI the tool would use, finalised with its TCTI.
class Tpm {
 public:
  Tpm() {
    const char* named = std::getenv("TARN_WEMB_TCTI");
    tss(Tss2_TctiLdr_Initialize(named != nullptr ? named : "device:/dev/tpmrm0", &tcti_));
    TSS2_RC rc = Esys_Initialize(&esys_, tcti_, nullptr);
    if (rc != TSS2_RC_SUCCESS) Tss2_TctiLdr_Finalize(&tcti_);
    tss(rc);
  }
  ~Tpm() {
    Esys_Finalize(&esys_);
    Tss2_TctiLdr_Finalize(&tcti_);
  }
  Tpm(const Tpm&) = delete;
  Tpm& operator=(const Tpm&) = delete;
  ESYS_CONTEXT* get() const { return esys_; }

 private:
  TSS2_TCTI_CONTEXT* tcti_ = nullptr;
  ESYS_CONTEXT* esys_ = nullptr;
};

// A transient object or session, flushed when it goes.
class Transient {
 public:
  Transient(ESYS_CONTEXT* esys, ESYS_TR handle) : esys_(esys), handle_(handle) {}
  ~Transient() {
    if (persistent_) {
      Esys_TR_Close(esys_, &handle_);
    } else {
      Esys_FlushContext(esys_, handle_);
    }
  }
  Transient(const Transient&) = delete;
  Transient& operator=(const Transient&) = delete;
  static std::unique_ptr<Transient> persistent(ESYS_CONTEXT* esys, ESYS_TR handle) {
    auto held = std::make_unique<Transient>(esys, handle);
    held->persistent_ = true;
    return held;
  }
  ESYS_TR get() const { return handle_; }

 private:
  ESYS_CONTEXT* esys_;
  ESYS_TR handle_;
  bool persistent_ = false;
};

// The ECC P-256 storage root: the one at 0x81000001 when there is one, else made anew.
inline std::unique_ptr<Transient> parent(ESYS_CONTEXT* esys) {
  TPM2B_PUBLIC area{};
  area.publicArea.type = TPM2_ALG_ECC;
  area.publicArea.nameAlg = TPM2_ALG_SHA256;
  area.publicArea.objectAttributes = 0x00030472;
  TPMS_ECC_PARMS& ecc = area.publicArea.parameters.eccDetail;
  ecc.symmetric.algorithm = TPM2_ALG_AES;
  ecc.symmetric.keyBits.aes = 128;
  ecc.symmetric.mode.aes = TPM2_ALG_CFB;
  ecc.scheme.scheme = TPM2_ALG_NULL;
  ecc.curveID = TPM2_ECC_NIST_P256;
  ecc.kdf.scheme = TPM2_ALG_NULL;

  ESYS_TR handle = ESYS_TR_NONE;
  if (Esys_TR_FromTPMPublic(esys, 0x81000001, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &handle) ==
      TSS2_RC_SUCCESS) {
    auto held = Transient::persistent(esys, handle);
    TPM2B_PUBLIC* found = nullptr;
    if (Esys_ReadPublic(esys, handle, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &found, nullptr,
                        nullptr) == TSS2_RC_SUCCESS) {
      const TPMT_PUBLIC& p = found->publicArea;
      const bool same = p.type == TPM2_ALG_ECC && p.objectAttributes == 0x00030472 &&
                        p.parameters.eccDetail.curveID == TPM2_ECC_NIST_P256;
      Esys_Free(found);
      if (same) return held;
    }
  }
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  tss(Esys_CreatePrimary(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                         &sensitive, &area, &outsideInfo, &creationPcr, &handle, nullptr, nullptr,
                         nullptr, nullptr));
  return std::make_unique<Transient>(esys, handle);
}

// The key file's two halves, every byte consumed.
struct KeyFile {
  TPM2B_PUBLIC publicPart{};
  TPM2B_PRIVATE privatePart{};
  Point point{};
};

inline KeyFile readKeyFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  if (bytes.empty()) throw std::runtime_error("no key file at " + path);
  KeyFile key;
  std::size_t offset = 0;
  tss(Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes.data(), bytes.size(), &offset, &key.publicPart));
  tss(Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes.data(), bytes.size(), &offset, &key.privatePart));
  if (offset != bytes.size()) throw std::runtime_error("bytes after the key file's private part");
  const TPMS_ECC_POINT& q = key.publicPart.publicArea.unique.ecc;
  if (q.x.size > 32 || q.y.size > 32) throw std::runtime_error("not a P-256 key");
  key.point[0] = 0x04;
  std::memcpy(key.point.data() + 1 + 32 - q.x.size, q.x.buffer, q.x.size);
  std::memcpy(key.point.data() + 65 - q.y.size, q.y.buffer, q.y.size);
  return key;
}

inline Pkey publicKey(const Point& point) {
  PkeyContext import(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  std::array<char, 6> group = {"P-256"};
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group.data(), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<std::uint8_t*>(point.data()), point.size()),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  check(import && EVP_PKEY_fromdata_init(import.get()) == 1 &&
            EVP_PKEY_fromdata(import.get(), &key, EVP_PKEY_PUBLIC_KEY, params) == 1,
        "point");
  return Pkey(key);
}

// HKDF-SHA256 with the envelope's salt and info = ephemeral ‖ recipient.
inline std::array<std::uint8_t, 32> derive(EVP_KDF* kdf, std::span<const std::uint8_t> shared,
                                           std::span<const std::uint8_t, 65> ephemeral,
                                           const Point& recipient) {
  std::array<std::uint8_t, 130> info{};
  std::ranges::copy(ephemeral, info.begin());
  std::ranges::copy(recipient, info.begin() + 65);
  std::array<char, 7> digest = {"SHA256"};
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest.data(), 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                        const_cast<std::uint8_t*>(shared.data()), shared.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()),
                                        salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
      OSSL_PARAM_construct_end()};
  std::array<std::uint8_t, 32> key{};
  KdfContext context(EVP_KDF_CTX_new(kdf));
  check(context && EVP_KDF_derive(context.get(), key.data(), key.size(), params) == 1, "HKDF");
  return key;
}

}  // namespace floorbench
