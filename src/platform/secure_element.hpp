#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "platform/key_agreement.hpp"

namespace tarn::platform {

class Presence;

// Who may use a new key: built once by the key's owner and handed to create().
struct AccessControl {
  static constexpr std::uint32_t privateKeyUsage = 1u << 30;
  static constexpr std::uint32_t userPresence = 1u << 0;

  std::uint32_t flags = 0;
};

// A key that lives inside the secure element. The program only ever holds its stored form.
class EnclaveKey : public KeyAgreement {
 public:
  // Opaque bytes by which this machine's secure element finds the key again.
  virtual std::vector<std::uint8_t> dataRepresentation() const = 0;
};

// The secure element. Keys it hands out borrow it: it must outlive them.
class SecureElement {
 public:
  virtual ~SecureElement() = default;

  // True when the element answers. Creates nothing and never throws.
  virtual bool isAvailable() = 0;

  // A new key under `access`; nobody is asked anything.
  virtual std::unique_ptr<EnclaveKey> create(const AccessControl& access) = 0;

  // The key again from its stored form. Without the user's `presence` the key gives its
  // public key but refuses every private-key operation.
  virtual std::unique_ptr<EnclaveKey> restore(std::span<const std::uint8_t> data,
                                              const Presence* presence) = 0;
};

// An error of the secure element; what() is its own description.
struct SecureElementError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The TPM 2.0 named by TARN_WEMB_TCTI, or the kernel's resource manager /dev/tpmrm0.
std::unique_ptr<SecureElement> tpm();

}  // namespace tarn::platform
