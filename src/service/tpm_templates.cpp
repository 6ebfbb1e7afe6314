#include "service/tpm_templates.hpp"

#include <tss2/tss2_mu.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "service/tpm_esys.hpp"

namespace tarn::service {
namespace {

static_assert(parentAttributes ==
              (TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN |
               TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA | TPMA_OBJECT_RESTRICTED |
               TPMA_OBJECT_DECRYPT));
static_assert(keyAttributes == (parentAttributes & ~TPMA_OBJECT_RESTRICTED));

TPM2B_PUBLIC eccP256(TPMA_OBJECT attributes) {
  TPM2B_PUBLIC area{};
  area.publicArea.type = TPM2_ALG_ECC;
  area.publicArea.nameAlg = TPM2_ALG_SHA256;
  area.publicArea.objectAttributes = attributes;
  TPMS_ECC_PARMS& ecc = area.publicArea.parameters.eccDetail;
  ecc.symmetric.algorithm = TPM2_ALG_NULL;
  ecc.scheme.scheme = TPM2_ALG_NULL;
  ecc.curveID = TPM2_ECC_NIST_P256;
  ecc.kdf.scheme = TPM2_ALG_NULL;
  return area;
}

bool fits(const TPMS_ECC_POINT& point) {
  return point.x.size <= coordinateSize && point.y.size <= coordinateSize;
}

bool isP256(const TPMT_PUBLIC& area) {
  return area.type == TPM2_ALG_ECC && area.parameters.eccDetail.curveID == TPM2_ECC_NIST_P256 &&
         fits(area.unique.ecc);
}

// A coordinate left-padded to the curve's size; a TPM may drop leading zero bytes.
std::array<std::uint8_t, coordinateSize> padded(const TPM2B_ECC_PARAMETER& coordinate) {
  std::array<std::uint8_t, coordinateSize> out{};
  std::memcpy(out.data() + (coordinateSize - coordinate.size), coordinate.buffer, coordinate.size);
  return out;
}

std::span<const std::uint8_t> marshalled(const TPMT_PUBLIC& area, std::span<std::uint8_t> buffer) {
  std::size_t offset = 0;
  check(Tss2_MU_TPMT_PUBLIC_Marshal(&area, buffer.data(), buffer.size(), &offset));
  return buffer.first(offset);
}

// Whether `area` is `made`'s template, the unique point aside.
bool madeBy(const TPMT_PUBLIC& area, const TPMT_PUBLIC& made) {
  if (area.type != TPM2_ALG_ECC) return false;
  TPMT_PUBLIC withoutPoint = area;
  withoutPoint.unique.ecc.x.size = 0;
  withoutPoint.unique.ecc.y.size = 0;
  std::array<std::uint8_t, sizeof(TPMT_PUBLIC)> mine{}, theirs{};
  return std::ranges::equal(marshalled(made, mine), marshalled(withoutPoint, theirs));
}

}  // namespace

TPM2B_PUBLIC parentTemplate() {
  TPM2B_PUBLIC area = eccP256(parentAttributes);
  TPMT_SYM_DEF_OBJECT& symmetric = area.publicArea.parameters.eccDetail.symmetric;
  symmetric.algorithm = TPM2_ALG_AES;
  symmetric.keyBits.aes = 128;
  symmetric.mode.aes = TPM2_ALG_CFB;
  return area;
}

TPM2B_PUBLIC keyTemplate() { return eccP256(keyAttributes); }

bool isKeyTemplate(const TPMT_PUBLIC& area) { return madeBy(area, keyTemplate().publicArea); }

bool isCompact(const TPMT_PUBLIC& area) {
  if (!isP256(area)) return false;
  return compactY(padded(area.unique.ecc.y));
}

Point pointOf(const TPMT_PUBLIC& area) {
  if (!isP256(area)) throw TpmError("the key data does not hold a P-256 key");
  return pointOf(area.unique.ecc);
}

Point pointOf(const TPMS_ECC_POINT& point) {
  if (!fits(point)) throw TpmError("the TPM returned a point that is not on P-256");
  Point out{};
  out[0] = 0x04;
  std::ranges::copy(padded(point.x), out.begin() + 1);
  std::ranges::copy(padded(point.y), out.begin() + 1 + coordinateSize);
  return out;
}

TPMS_ECC_POINT eccPoint(const Point& point) {
  TPMS_ECC_POINT out{};
  out.x.size = out.y.size = coordinateSize;
  std::copy_n(point.begin() + 1, coordinateSize, out.x.buffer);
  std::copy_n(point.begin() + 1 + coordinateSize, coordinateSize, out.y.buffer);
  return out;
}

}  // namespace tarn::service
