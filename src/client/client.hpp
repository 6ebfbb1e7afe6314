#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "base/point.hpp"
#include "base/secret.hpp"

// The command's side of the custody service, which alone can use the key.
namespace tarn::client {

// A refusal of the custody service; what() is its own text.
struct ServiceError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The custody service ended a prompt without a verdict: killed, or stopped by its system.
struct ServiceGone : ServiceError {
  ServiceGone() : ServiceError("the custody service ended without a verdict") {}
};

// Whether a custody service answers and its TPM works. Never throws.
bool secureElementAvailable();

// Throws Failure "no-secure-enclave" unless a custody service answers and its TPM works, and a
// ServiceError when the one listening is not root's.
void requireSecureElement();

// A key the service just made for this account: the key file's bytes and the public half.
struct NewKey {
  std::vector<std::uint8_t> file;
  Point point;
};
NewKey createKey();

// The public half of the stored key, once the service has proven it can use it for this account.
Point checkKey(std::span<const std::uint8_t> file);

// Asks the user to prove presence under `reason`. Throws Failure "no-authentication: <what is
// missing>", "cancelled" or "denied".
void confirmPresence(const SecretString& reason);

// The stored key's public half, and its shared secret with each point in order.
struct Agreement {
  Point recipient;
  std::vector<SecretBytes> secrets;
};

// The agreement of the stored key with `points`, once the user has proven presence under
// `reason`; refusals as confirmPresence's.
Agreement agree(std::span<const std::uint8_t> file, std::span<const Point> points,
                const SecretString& reason);

}  // namespace tarn::client
