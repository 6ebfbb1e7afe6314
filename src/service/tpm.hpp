#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/point.hpp"
#include "base/secret.hpp"
#include "platform/presence.hpp"

namespace tarn::platform {

// An error of the TPM or of its software stack; what() is their own description.
struct TpmError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A key the TPM just made, in the form it is stored in: never loaded, so nothing to flush.
struct NewKey {
  std::vector<std::uint8_t> blob;  // the marshalled public area, then the wrapped private part
  Point publicKey;
};

class TpmKey;

// The TPM 2.0 named by TARN_WEMB_TCTI, or the kernel's resource manager /dev/tpmrm0. It is
// reached at its first use; keys it hands out keep the connection open until they go.
class Tpm {
 public:
  Tpm();
  ~Tpm();
  Tpm(const Tpm&) = delete;
  Tpm& operator=(const Tpm&) = delete;

  // True when the TPM answers. Creates nothing and never throws.
  bool isAvailable();

  // A new compact P-256 key-agreement key under the storage parent; nobody is asked anything.
  NewKey create();

  // The key of `blob` loaded under the storage parent. Refuses a key this tool's template did
  // not make, so a key whose private half is known elsewhere is never used.
  TpmKey load(std::span<const std::uint8_t> blob);

  struct Session;

 private:
  const std::shared_ptr<Session>& session();

  std::string tcti_;
  std::shared_ptr<Session> session_;
};

// A key loaded into the TPM, flushed when it goes.
class TpmKey {
 public:
  TpmKey(TpmKey&&) noexcept;
  TpmKey& operator=(TpmKey&&) noexcept;
  ~TpmKey();

  const Point& publicKey() const { return point_; }

  // The 32-byte X coordinate of the ECDH point with `peer`; only with the user's presence shown.
  SecretBytes sharedSecret(const Point& peer, const Presence& presence);

 private:
  friend class Tpm;
  struct Loaded;
  TpmKey(std::unique_ptr<Loaded> loaded, const Point& point);

  std::unique_ptr<Loaded> loaded_;
  Point point_;
};

}  // namespace tarn::platform
