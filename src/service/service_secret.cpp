#include "service/service_secret.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <initializer_list>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "base/failure.hpp"
#include "base/io.hpp"
#include "service/directories.hpp"

namespace tarn::service {
namespace {

constexpr std::string_view noSecret =
    "the custody service has no secret: restore /var/lib/tarn-wemb";

[[noreturn]] void fail(const std::string& operation, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), operation + " " + path);
}

// The temporary name goes whether the secret was made or not.
struct Unlinked {
  ~Unlinked() { ::unlink(path.c_str()); }
  const std::string& path;
};

std::string secretPath() { return stateDirectory() + "/secret"; }

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Whoever could replace the secret could read keys' auth values off a copy of it: the directory
// that holds it, and each above, must be root's and changeable by root alone. A sticky one above
// is fine, as for /tmp: nobody else can move root's entries in it.
void requireRootOnly(const std::string& directory) {
  // judged where it really is: a link's own mode says nothing
  char real[PATH_MAX];
  if (::realpath(directory.c_str(), real) == nullptr) fail("cannot examine", directory);
  std::string path = real;
  for (bool own = true; path.starts_with('/'); own = false) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) fail("cannot examine", path);
    const std::string refusing = "refusing the service secret's directory " + path;
    if (st.st_uid != 0) throw Failure(refusing + ": not root's; make it root's");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (own || (st.st_mode & S_ISVTX) == 0)) {
      throw Failure(refusing + ": mode " + octal(st.st_mode) + "; make it writable by root alone");
    }
    if (path == "/") break;
    const std::size_t slash = path.find_last_of('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

// HMAC-SHA256 over the concatenation of `parts`, into wiped memory.
SecretBytes hmac(const SecretBytes& key,
                 std::initializer_list<std::span<const std::uint8_t>> parts) {
  std::size_t total = 0;
  for (const auto part : parts) total += part.size();
  SecretBytes message;
  message.reserve(total);
  for (const auto part : parts) message.insert(message.end(), part.begin(), part.end());
  SecretBytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
           out.data(), &length) == nullptr) {
    throw std::runtime_error("HMAC-SHA256 failed");
  }
  out.resize(length);
  return out;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

ServiceSecret ServiceSecret::read() {
  const Descriptor file(::open(secretPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st;
  if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw Failure(std::string(noSecret));
  }
  // Restored by hand (cp under umask 022), a secret others can read gives away every key.
  const std::string refusing = "refusing the service secret " + secretPath();
  if (st.st_uid != 0) throw Failure(refusing + ": not root's; make it root's");
  if ((st.st_mode & 07777) != 0600) {
    throw Failure(refusing + ": mode " + octal(st.st_mode) + "; make it 0600");
  }
  requireRootOnly(stateDirectory());
  // one byte more than a secret, to tell a longer file from the right one
  SecretBytes bytes(secretSize + 1);
  std::size_t have = 0;
  try {
    while (have < bytes.size()) {
      const std::size_t n = readSome(file.get(), std::span(bytes).subspan(have));
      if (n == 0) break;
      have += n;
    }
  } catch (const std::system_error&) {
    throw Failure(std::string(noSecret));
  }
  if (have != secretSize) throw Failure(std::string(noSecret));
  bytes.resize(secretSize);
  return ServiceSecret(std::move(bytes));
}

std::array<std::uint8_t, 8> ServiceSecret::id() const {
  const SecretBytes mac = hmac(bytes_, {bytesOf("tarn-wemb secret id v1")});
  std::array<std::uint8_t, 8> id{};
  std::copy_n(mac.begin(), id.size(), id.begin());
  return id;
}

SecretBytes ServiceSecret::authValue(uid_t uid, std::span<const std::uint8_t, 32> salt) const {
  const std::uint32_t who = uid;
  const std::array<std::uint8_t, 4> uidBytes = {
      static_cast<std::uint8_t>(who >> 24), static_cast<std::uint8_t>(who >> 16),
      static_cast<std::uint8_t>(who >> 8), static_cast<std::uint8_t>(who)};
  SecretBytes auth = hmac(bytes_, {bytesOf("tarn-wemb auth v1"), uidBytes, salt});
  // the TPM drops an auth value's trailing zeros when it stores it; ESYS would HMAC with them
  while (!auth.empty() && auth.back() == 0) auth.pop_back();
  return auth;
}

void makeSecret() {
  const std::string directory = stateDirectory();
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot make", directory);
  const Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) fail("cannot open", directory);
  if (::faccessat(dir.get(), "secret", F_OK, AT_SYMLINK_NOFOLLOW) == 0) return;

  std::string temporary = directory + "/.secret-XXXXXX";
  const Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file) fail("cannot create", temporary);
  const Unlinked removed{temporary};
  SecretBytes secret(secretSize);
  if (RAND_priv_bytes(secret.data(), static_cast<int>(secret.size())) != 1) {
    throw std::runtime_error("the random generator gave no secret");
  }
  const std::string_view bytes(reinterpret_cast<const char*>(secret.data()), secret.size());
  if (::fchmod(file.get(), 0600) != 0 || !writeAll(file.get(), bytes) || ::fsync(file.get()) != 0) {
    fail("cannot write", temporary);
  }
  // link, never rename: a secret someone else made first is theirs to keep
  if (::link(temporary.c_str(), secretPath().c_str()) != 0 && errno != EEXIST) {
    fail("cannot write", secretPath());
  }
  if (::fsync(dir.get()) != 0) fail("cannot sync", directory);
}

}  // namespace tarn::service
