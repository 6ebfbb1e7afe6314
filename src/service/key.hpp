#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/point.hpp"
#include "base/secret.hpp"
#include "service/key_format.hpp"
#include "service/service_secret.hpp"
#include "service/tpm.hpp"
#include "service/tpm_session.hpp"

namespace tarn::service {

// A key the TPM just made for one account, in the form it is stored in.
struct MadeKey {
  std::vector<std::uint8_t> file;
  Point point;
};

// A new compact P-256 key-agreement key for `uid`, its auth value derived from the service
// secret and a fresh salt. Loaded once and checked before its file is handed out.
MadeKey makeKey(Tpm& tpm, const ServiceSecret& secret, uid_t uid);
// The same with the salt chosen by the caller.
MadeKey makeKey(Tpm& tpm, const ServiceSecret& secret, uid_t uid,
                const std::array<std::uint8_t, 32>& salt);

// A key loaded into the TPM with its auth value set; everything it loaded is flushed when it goes.
class UsableKey {
 public:
  // Loads `key` under the storage parent, then proves `auth` works: the key's product with the
  // curve's generator must be its own public point.
  UsableKey(Tpm& tpm, const KeyFile& key, const SecretBytes& auth);
  UsableKey(UsableKey&&) noexcept = default;
  UsableKey& operator=(UsableKey&&) = delete;

  const Point& point() const { return point_; }

  // The 32-byte X coordinate of the ECDH product with `peer`.
  SecretBytes agree(const Point& peer);

 private:
  TSS2_RC product(const Point& peer, TPM2B_ECC_POINT& out);
  void checkGenerator();

  // declared in the order they were made, so they go in the reverse
  std::shared_ptr<Tpm::Link> link_;
  TpmHandle key_;
  TPM2_HANDLE keyHandle_ = 0;
  TPM2B_NAME name_{};
  SecretBytes auth_;
  std::unique_ptr<SaltedSession> session_;
  Point point_;
};

// The key of `file` for `uid`: a file of this form, made with this service secret, of this
// tool's template, loadable by this TPM, and the account's own.
UsableKey loadKey(Tpm& tpm, std::span<const std::uint8_t> file, const ServiceSecret& secret,
                  uid_t uid);

}  // namespace tarn::service
