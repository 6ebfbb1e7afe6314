// The least "seal" and "open" can cost, straight on tpm2-tss, OpenSSL and PAM: the TPM work the
// custody service does, then per text the envelope's primitives. It shares no code with tarn-wemb.
// Run as root: it reads the service secret in $STATE_DIRECTORY to authorize the key of account UID.
//
//   floor seal STORE UID COUNT SIZE < texts   COUNT texts of SIZE bytes back to back; envelopes out
//   floor open STORE UID < envelopes          password in TARN_BENCH_PASSWORD; plaintexts out
//   floor open-nosession STORE UID < envelopes  the same with the key's auth value sent in clear,
//                                               no session: the TPM's own cost per agreement
//
// Envelopes and plaintexts go one a line; a failure prints one line and exits 1.

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned char version = 1;
constexpr unsigned char salt[12] = {'t', 'a', 'r', 'n', '-', 'w', 'e', 'm', 'b', '-', 'v', '1'};
constexpr std::size_t nonceAt = 66, textAt = 78, overhead = 94;
constexpr TPMA_OBJECT parentAttributes = 0x00030472;

void need(bool ok, const char* what) {
  if (ok) return;
  std::printf("floor: %s failed\n", what);
  std::exit(1);
}

void tss(TSS2_RC rc, const char* what) { need(rc == TSS2_RC_SUCCESS, what); }

std::string readAll(std::FILE* file) {
  std::string bytes;
  char buffer[1 << 16];
  for (std::size_t n; file != nullptr && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    bytes.append(buffer, n);
  }
  return bytes;
}

// The key of STORE/klucz.se for account UID, loaded as the custody service loads it: the parent
// made anew, the key under it with its auth value from the service secret, a salted session that
// encrypts the response, and the product with the generator checked. All flushed when unloaded.
struct Tpm {
  TSS2_TCTI_CONTEXT* tcti = nullptr;
  ESYS_CONTEXT* esys = nullptr;
  ESYS_TR parent = ESYS_TR_NONE, key = ESYS_TR_NONE, session = ESYS_TR_NONE;
  TPM2B_PUBLIC publicPart{};
  TPM2B_PRIVATE privatePart{};
  TPM2B_AUTH auth{};
  unsigned char point[65] = {0x04};
  bool withSession = true;

  Tpm(const std::string& store, std::uint32_t uid) {
    std::FILE* in = std::fopen((store + "/klucz.se").c_str(), "rb");
    const std::string file = readAll(in);
    if (in != nullptr) std::fclose(in);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.data());
    std::size_t at = 44;  // mark, secret id, salt
    need(file.size() > at && std::memcmp(bytes, "\xffTW1", 4) == 0, "key file");
    tss(Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes, file.size(), &at, &publicPart), "key file");
    tss(Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes, file.size(), &at, &privatePart), "key file");
    const TPMS_ECC_POINT& q = publicPart.publicArea.unique.ecc;
    need(at == file.size() && q.x.size <= 32 && q.y.size <= 32, "key file");
    std::memcpy(point + 33 - q.x.size, q.x.buffer, q.x.size);
    std::memcpy(point + 65 - q.y.size, q.y.buffer, q.y.size);
    authValue(uid, bytes + 12);

    const char* named = std::getenv("TARN_WEMB_TCTI");
    tss(Tss2_TctiLdr_Initialize(named != nullptr ? named : "device:/dev/tpmrm0", &tcti), "TCTI");
    tss(Esys_Initialize(&esys, tcti, nullptr), "ESYS");
  }

  // HMAC-SHA256(secret, "tarn-wemb auth v1" ‖ uid big-endian ‖ salt), trailing zeros dropped.
  void authValue(std::uint32_t uid, const unsigned char* salt) {
    const char* directory = std::getenv("STATE_DIRECTORY");
    std::FILE* in = std::fopen((std::string(directory ? directory : "") + "/secret").c_str(), "rb");
    const std::string secret = readAll(in);
    if (in != nullptr) std::fclose(in);
    need(secret.size() == 32, "service secret");
    unsigned char message[17 + 4 + 32] = "tarn-wemb auth v1";
    for (int i = 0; i < 4; ++i) message[17 + i] = static_cast<unsigned char>(uid >> (24 - 8 * i));
    std::memcpy(message + 21, salt, 32);
    unsigned length = 0;
    need(HMAC(EVP_sha256(), secret.data(), 32, message, sizeof message, auth.buffer, &length) !=
             nullptr,
         "HMAC");
    while (length > 0 && auth.buffer[length - 1] == 0) --length;
    auth.size = static_cast<UINT16>(length);
  }

  void load() {
    TPM2B_PUBLIC area{};
    area.publicArea.type = TPM2_ALG_ECC;
    area.publicArea.nameAlg = TPM2_ALG_SHA256;
    area.publicArea.objectAttributes = parentAttributes;
    TPMS_ECC_PARMS& ecc = area.publicArea.parameters.eccDetail;
    ecc.symmetric = {TPM2_ALG_AES, {.aes = 128}, {.aes = TPM2_ALG_CFB}};
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    const TPM2B_SENSITIVE_CREATE sensitive{};
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    tss(Esys_CreatePrimary(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                           &sensitive, &area, &outside, &pcrs, &parent, nullptr, nullptr, nullptr,
                           nullptr),
        "CreatePrimary");
    tss(Esys_Load(esys, parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &privatePart,
                  &publicPart, &key),
        "Load");
    tss(Esys_TR_SetAuth(esys, key, &auth), "SetAuth");
    const TPMT_SYM_DEF aes = {TPM2_ALG_AES, {.aes = 128}, {.aes = TPM2_ALG_CFB}};
    if (withSession) {
      tss(Esys_StartAuthSession(esys, parent, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &aes, TPM2_ALG_SHA256,
                                &session),
          "StartAuthSession");
      tss(Esys_TRSess_SetAttributes(esys, session,
                                    TPMA_SESSION_CONTINUESESSION | TPMA_SESSION_ENCRYPT, 0xff),
          "session");
    }
    // G of P-256, X ‖ Y
    static const unsigned char generator[] =
        "\x6b\x17\xd1\xf2\xe1\x2c\x42\x47\xf8\xbc\xe6\xe5\x63\xa4\x40\xf2"
        "\x77\x03\x7d\x81\x2d\xeb\x33\xa0\xf4\xa1\x39\x45\xd8\x98\xc2\x96"
        "\x4f\xe3\x42\xe2\xfe\x1a\x7f\x9b\x8e\xe7\xeb\x4a\x7c\x0f\x9e\x16"
        "\x2b\xce\x33\x57\x6b\x31\x5e\xce\xcb\xb6\x40\x68\x37\xbf\x51\xf5";
    unsigned char own[32];
    zgen(generator, own);
    need(std::memcmp(own, point + 1, 32) == 0, "generator check");
  }

  // The X coordinate of the key's product with the point X ‖ Y.
  void zgen(const unsigned char* xy, unsigned char* shared) {
    TPM2B_ECC_POINT in{};
    in.point.x.size = in.point.y.size = 32;
    std::memcpy(in.point.x.buffer, xy, 32);
    std::memcpy(in.point.y.buffer, xy + 32, 32);
    TPM2B_ECC_POINT* z = nullptr;
    const ESYS_TR authorization = withSession ? session : ESYS_TR_PASSWORD;
    tss(Esys_ECDH_ZGen(esys, key, authorization, ESYS_TR_NONE, ESYS_TR_NONE, &in, &z), "ECDH_ZGen");
    need(z->point.x.size <= 32, "shared point");
    std::memset(shared, 0, 32 - z->point.x.size);
    std::memcpy(shared + 32 - z->point.x.size, z->point.x.buffer, z->point.x.size);
    Esys_Free(z);
  }

  void unload() {
    for (ESYS_TR* handle : {&session, &key, &parent}) {
      if (*handle != ESYS_TR_NONE) Esys_FlushContext(esys, *handle);
      *handle = ESYS_TR_NONE;
    }
  }

  ~Tpm() {
    unload();
    Esys_Finalize(&esys);
    Tss2_TctiLdr_Finalize(&tcti);
  }
};

EVP_PKEY* publicKey(const unsigned char* point) {
  EVP_PKEY_CTX* import = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  char group[] = "P-256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<unsigned char*>(point),
                                        65),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  need(EVP_PKEY_fromdata_init(import) == 1 &&
           EVP_PKEY_fromdata(import, &key, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) ==
               1,
       "point");
  EVP_PKEY_CTX_free(import);
  return key;
}

// HKDF-SHA256 over the shared secret, with info = ephemeral point ‖ recipient point.
void derive(EVP_KDF* kdf, unsigned char* shared, const unsigned char* ephemeral,
            const unsigned char* recipient, unsigned char* key) {
  unsigned char info[130];
  std::memcpy(info, ephemeral, 65);
  std::memcpy(info + 65, recipient, 65);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, shared, 32),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt), 12),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, sizeof info),
      OSSL_PARAM_construct_end()};
  EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
  need(EVP_KDF_derive(context, key, 32, params) == 1, "HKDF");
  EVP_KDF_CTX_free(context);
}

// The published ephemeral point carries the smaller of Y and p − Y.
void compact(unsigned char* y) {
  static const unsigned char p[33] =  // 2^256 - 2^224 + 2^192 + 2^96 - 1, big-endian
      "\xff\xff\xff\xff\0\0\0\1\0\0\0\0\0\0\0\0"
      "\0\0\0\0\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff";
  unsigned char other[32];
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    const int difference = p[i] - y[i] - borrow;
    borrow = difference < 0;
    other[i] = static_cast<unsigned char>(difference + 256 * borrow);
  }
  if (std::memcmp(other, y, 32) < 0) std::memcpy(y, other, 32);
}

void seal(const std::string& store, std::uint32_t uid, std::size_t count, std::size_t size) {
  // Buffers sized once and never zeroed: the floor pays for no memory traffic it can avoid.
  const auto input = std::make_unique_for_overwrite<unsigned char[]>(count * size);
  need(std::fread(input.get(), 1, count * size, stdin) == count * size, "input");
  Tpm tpm(store, uid);
  tpm.load();  // the service's check of the key file
  tpm.unload();
  EVP_PKEY* recipient = publicKey(tpm.point);
  EVP_PKEY_CTX* keygen = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  need(EVP_PKEY_keygen_init(keygen) == 1 && EVP_PKEY_CTX_set_group_name(keygen, "P-256") == 1,
       "keygen");
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  const std::size_t line = (overhead + size + 2) / 3 * 4 + 1;
  const auto out = std::make_unique_for_overwrite<char[]>(count * line);
  const auto envelope = std::make_unique_for_overwrite<unsigned char[]>(overhead + size);
  envelope[0] = version;
  for (std::size_t i = 0; i < count; ++i) {
    EVP_PKEY* ephemeral = nullptr;
    std::size_t length = 0;
    need(EVP_PKEY_keygen(keygen, &ephemeral) == 1 &&
             EVP_PKEY_get_octet_string_param(ephemeral, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                             &envelope[1], 65, &length) == 1,
         "keygen");
    compact(&envelope[34]);
    unsigned char shared[32], key[32];
    length = sizeof shared;
    EVP_PKEY_CTX* agree = EVP_PKEY_CTX_new_from_pkey(nullptr, ephemeral, nullptr);
    need(EVP_PKEY_derive_init(agree) == 1 &&
             EVP_PKEY_derive_set_peer_ex(agree, recipient, 0) == 1 &&
             EVP_PKEY_derive(agree, shared, &length) == 1,
         "ECDH");
    EVP_PKEY_CTX_free(agree);
    EVP_PKEY_free(ephemeral);
    derive(kdf, shared, &envelope[1], tpm.point, key);

    EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
    int written = 0;
    need(RAND_bytes(&envelope[nonceAt], 12) == 1 &&
             EVP_EncryptInit_ex2(cipher, gcm, key, &envelope[nonceAt], nullptr) == 1 &&
             EVP_EncryptUpdate(cipher, nullptr, &written, &version, 1) == 1 &&
             EVP_EncryptUpdate(cipher, &envelope[textAt], &written, &input[i * size],
                               static_cast<int>(size)) == 1 &&
             EVP_EncryptFinal_ex(cipher, nullptr, &written) == 1 &&
             EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_AEAD_GET_TAG, 16, &envelope[textAt + size]) == 1,
         "AES-GCM");
    EVP_CIPHER_CTX_free(cipher);

    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[i * line]), envelope.get(),
                    static_cast<int>(overhead + size));
    out[i * line + line - 1] = '\n';
  }
  std::fwrite(out.get(), 1, count * line, stdout);
}

int converse(int count, const pam_message** messages, pam_response** responses, void* password) {
  *responses = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  for (int i = 0; i < count; ++i) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
      (*responses)[i].resp = ::strdup(static_cast<const char*>(password));
    }
  }
  return PAM_SUCCESS;
}

bool utf8(const unsigned char* text, std::size_t size) {
  for (std::size_t i = 0; i < size;) {
    const unsigned lead = text[i], length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if ((lead >= 0x80 && (lead < 0xc2 || lead > 0xf4)) || size - i < length) return false;
    for (unsigned k = 1; k < length; ++k) {
      if ((text[i + k] & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

void open(const std::string& store, std::uint32_t uid, bool withSession) {
  const std::string input = readAll(stdin);
  std::vector<Bytes> envelopes;
  for (std::size_t start = 0, end; start < input.size(); start = end + 1) {
    end = std::min(input.find('\n', start), input.size());
    const std::string_view line(&input[start], end - start);
    Bytes& envelope = envelopes.emplace_back(line.size() / 4 * 3);
    const int length =
        EVP_DecodeBlock(envelope.data(), reinterpret_cast<const unsigned char*>(line.data()),
                        static_cast<int>(line.size()));
    const std::size_t padding = line.ends_with("==") ? 2 : line.ends_with('=') ? 1 : 0;
    need(length > 0 && line.size() % 4 == 0, "Base64");
    envelope.resize(static_cast<std::size_t>(length) - padding);
    need(envelope.size() > overhead && envelope[0] == version, "envelope");
    EVP_PKEY_free(publicKey(&envelope[1]));  // refused before the TPM sees it, as the tool does
  }
  // As the service: the key proven usable before the prompt, and not held while the user answers.
  Tpm tpm(store, uid);
  tpm.withSession = withSession;
  tpm.load();
  tpm.unload();

  const char* password = std::getenv("TARN_BENCH_PASSWORD");
  pam_conv conversation{converse, const_cast<char*>(password != nullptr ? password : "")};
  pam_handle_t* pam = nullptr;
  int status = pam_start("tarn-wemb", ::getpwuid(uid)->pw_name, &conversation, &pam);
  if (status == PAM_SUCCESS) status = pam_authenticate(pam, 0);
  if (status == PAM_SUCCESS) status = pam_acct_mgmt(pam, 0);
  pam_end(pam, status);
  need(status == PAM_SUCCESS, "PAM");

  tpm.load();
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  std::string out;
  for (Bytes& envelope : envelopes) {
    unsigned char shared[32], key[32];
    tpm.zgen(&envelope[2], shared);
    derive(kdf, shared, &envelope[1], tpm.point, key);

    const std::size_t size = envelope.size() - overhead, at = out.size();
    out.resize(at + size);
    EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
    int written = 0;
    need(
        EVP_DecryptInit_ex2(cipher, gcm, key, &envelope[nonceAt], nullptr) == 1 &&
            EVP_DecryptUpdate(cipher, nullptr, &written, &version, 1) == 1 &&
            EVP_DecryptUpdate(cipher, reinterpret_cast<unsigned char*>(&out[at]), &written,
                              &envelope[textAt], static_cast<int>(size)) == 1 &&
            EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_AEAD_SET_TAG, 16, &envelope[textAt + size]) == 1 &&
            EVP_DecryptFinal_ex(cipher, nullptr, &written) == 1,
        "AES-GCM");
    EVP_CIPHER_CTX_free(cipher);
    need(utf8(reinterpret_cast<unsigned char*>(&out[at]), size), "UTF-8");
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("TSS2_LOG", "all+NONE", 1);
  const std::string command = argc > 2 ? argv[1] : "";
  const auto uid = static_cast<std::uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0);
  if (command == "seal" && argc == 6) {
    seal(argv[2], uid, std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10));
  } else if ((command == "open" || command == "open-nosession") && argc == 4) {
    open(argv[2], uid, command == "open");
  } else {
    std::printf(
        "usage: floor seal STORE UID COUNT SIZE < texts | floor open[-nosession] STORE UID\n");
    return 2;
  }
  return 0;
}
