// The least an "open" can cost: the password checked by PAM for the current account, the key
// loaded under the parent, one salted session with response encryption, then per envelope one
// ECDH_ZGen, HKDF, AES-256-GCM and a UTF-8 check. Plaintexts go to standard output, one a line.
//
//   TARN_BENCH_PASSWORD=... floor_open --dir STORE < envelopes (Base64, one a line)

#include <pwd.h>
#include <security/pam_appl.h>

#include <cstdio>
#include <exception>

#include "floor.hpp"

namespace {

using namespace floorbench;

int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
      answers[i].resp = ::strdup(static_cast<const char*>(data));
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

void checkPassword(const char* password) {
  const passwd* account = ::getpwuid(::getuid());
  if (account == nullptr) throw std::runtime_error("no account");
  pam_conv conversation{converse, const_cast<char*>(password)};
  pam_handle_t* handle = nullptr;
  int status = ::pam_start("tarn-wemb", account->pw_name, &conversation, &handle);
  if (status == PAM_SUCCESS) status = ::pam_authenticate(handle, 0);
  if (status == PAM_SUCCESS) status = ::pam_acct_mgmt(handle, 0);
  const std::string text = ::pam_strerror(handle, status);
  ::pam_end(handle, status);
  if (status != PAM_SUCCESS) throw std::runtime_error("PAM: " + text);
}

std::vector<std::uint8_t> decode(std::string_view line) {
  std::vector<std::uint8_t> bytes(line.size() / 4 * 3);
  const int length =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(line.data()),
                      static_cast<int>(line.size()));
  check(length >= 0 && line.size() % 4 == 0, "Base64");
  const std::size_t padding = line.ends_with("==") ? 2 : line.ends_with("=") ? 1 : 0;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  if (bytes.size() <= overhead || bytes[0] != version) throw std::runtime_error("not an envelope");
  return bytes;
}

bool utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (lead >= 0x80 && (lead < 0xc2 || lead > 0xf4)) return false;
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<std::uint8_t>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

class Opener {
 public:
  Opener(const KeyFile& key)
      : tpm_(),
        parent_(parent(tpm_.get())),
        recipient_(key.point),
        kdf_(EVP_KDF_fetch(nullptr, "HKDF", nullptr)),
        cipher_(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr)) {
    check(kdf_ && cipher_, "set-up");
    ESYS_TR handle = ESYS_TR_NONE;
    tss(Esys_Load(tpm_.get(), parent_->get(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                  &key.privatePart, &key.publicPart, &handle));
    key_ = std::make_unique<Transient>(tpm_.get(), handle);
    TPMT_SYM_DEF aes{};
    aes.algorithm = TPM2_ALG_AES;
    aes.keyBits.aes = 128;
    aes.mode.aes = TPM2_ALG_CFB;
    tss(Esys_StartAuthSession(tpm_.get(), parent_->get(), parent_->get(), ESYS_TR_NONE,
                              ESYS_TR_NONE, ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &aes,
                              TPM2_ALG_SHA256, &handle));
    session_ = std::make_unique<Transient>(tpm_.get(), handle);
    tss(Esys_TRSess_SetAttributes(tpm_.get(), handle,
                                  TPMA_SESSION_CONTINUESESSION | TPMA_SESSION_ENCRYPT, 0xff));
  }

  std::string open(const std::vector<std::uint8_t>& envelope) {
    const auto ephemeral = std::span(envelope).subspan<1, 65>();
    TPM2B_ECC_POINT in{};
    in.point.x.size = 32;
    in.point.y.size = 32;
    std::memcpy(in.point.x.buffer, ephemeral.data() + 1, 32);
    std::memcpy(in.point.y.buffer, ephemeral.data() + 33, 32);
    TPM2B_ECC_POINT* zPoint = nullptr;
    tss(Esys_ECDH_ZGen(tpm_.get(), key_->get(), session_->get(), ESYS_TR_NONE, ESYS_TR_NONE, &in,
                       &zPoint));
    std::array<std::uint8_t, 32> shared{};
    const TPM2B_ECC_PARAMETER& x = zPoint->point.x;
    std::memcpy(shared.data() + 32 - x.size, x.buffer, std::min<std::size_t>(x.size, 32));
    Esys_Free(zPoint);
    const auto key = derive(kdf_.get(), shared, ephemeral, recipient_);

    const std::size_t size = envelope.size() - overhead;
    std::string text(size, '\0');
    const CipherContext gcm(EVP_CIPHER_CTX_new());
    int out = 0;
    std::array<std::uint8_t, 16> tag{};
    std::copy_n(envelope.end() - 16, 16, tag.begin());
    check(gcm &&
              EVP_DecryptInit_ex2(gcm.get(), cipher_.get(), key.data(), &envelope[nonceOffset],
                                  nullptr) == 1 &&
              EVP_DecryptUpdate(gcm.get(), nullptr, &out, &version, 1) == 1 &&
              EVP_DecryptUpdate(gcm.get(), reinterpret_cast<std::uint8_t*>(text.data()), &out,
                                &envelope[ciphertextOffset], static_cast<int>(size)) == 1 &&
              EVP_CIPHER_CTX_ctrl(gcm.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag.data()) == 1 &&
              EVP_DecryptFinal_ex(gcm.get(), nullptr, &out) == 1,
          "GCM");
    if (!utf8(text)) throw std::runtime_error("not UTF-8");
    return text;
  }

 private:
  Tpm tpm_;
  std::unique_ptr<Transient> parent_;
  Point recipient_;
  Kdf kdf_;
  Cipher cipher_;
  std::unique_ptr<Transient> key_;
  std::unique_ptr<Transient> session_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string_view(argv[i]) == "--dir") dir = argv[i + 1];
  }
  try {
    ::setenv("TSS2_LOG", "all+NONE", 1);
    const std::string input = readAll(0);
    std::vector<std::vector<std::uint8_t>> envelopes;
    for (std::size_t start = 0; start < input.size();) {
      std::size_t end = input.find('\n', start);
      if (end == std::string::npos) end = input.size();
      if (end > start)
        envelopes.push_back(decode(std::string_view(input).substr(start, end - start)));
      start = end + 1;
    }
    // Each ephemeral point is checked to be on the curve before the TPM sees it, as the tool does.
    for (const auto& envelope : envelopes) {
      Point point{};
      std::copy_n(envelope.begin() + 1, 65, point.begin());
      publicKey(point);
    }
    const KeyFile key = readKeyFile(dir + "/klucz.se");
    const char* password = std::getenv("TARN_BENCH_PASSWORD");
    checkPassword(password != nullptr ? password : "");
    Opener opener(key);
    std::string out;
    for (const auto& envelope : envelopes) {
      out += opener.open(envelope);
      out += '\n';
    }
    writeAll(1, out);
    return 0;
  } catch (const std::exception& error) {
    std::printf("floor_open: %s\n", error.what());
    return 1;
  }
}
