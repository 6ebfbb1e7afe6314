// Whatever the strict decoder accepts, the encoder gives back exactly.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "envelope/base64.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bytes = tarn::base64::decode(text);
  if (bytes && tarn::base64::encode(*bytes) != text) std::abort();
  auto again = tarn::base64::decode(tarn::base64::encode({data, size}));
  if (!again || !std::equal(again->begin(), again->end(), data, data + size)) std::abort();
  return 0;
}
