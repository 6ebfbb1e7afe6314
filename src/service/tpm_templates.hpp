#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <cstddef>

#include "base/point.hpp"

// The public areas that make up the key file's format. Changing either orphans every key file.
namespace tarn::service {

inline constexpr std::size_t coordinateSize = 32;

// fixedTPM, fixedParent, sensitiveDataOrigin, userWithAuth, noDA, restricted, decrypt.
inline constexpr TPMA_OBJECT parentAttributes = 0x00030472;
// The same without restricted: an ECDH key, never a signing or storage key.
inline constexpr TPMA_OBJECT keyAttributes = 0x00020472;

// The ECC P-256 storage root key template shared with systemd and tpm2-tools.
TPM2B_PUBLIC parentTemplate();

// A P-256 key-agreement key: no symmetric, scheme or kdf.
TPM2B_PUBLIC keyTemplate();

// Whether a stored key's public area is exactly what keyTemplate() makes, whatever its point: the
// TPM made its private half (sensitiveDataOrigin) and will never let it out (fixedTPM,
// fixedParent).
bool isKeyTemplate(const TPMT_PUBLIC& area);

// Whether the key's public Y is the smaller of Y and p - Y.
bool isCompact(const TPMT_PUBLIC& area);

// 04 || X || Y; throws TpmError when the area is not a P-256 ECC key.
Point pointOf(const TPMT_PUBLIC& area);

// 04 || X || Y of a point the TPM returned, its coordinates left-padded.
Point pointOf(const TPMS_ECC_POINT& point);

// The TPM's form of an uncompressed point 04 || X || Y.
TPMS_ECC_POINT eccPoint(const Point& point);

}  // namespace tarn::service
