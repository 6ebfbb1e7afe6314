// Whatever the strict decoder accepts, the encoder gives back exactly.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/base64.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bytes = tarn::base64Decode(text);
  if (bytes && tarn::base64Encode(*bytes) != text) std::abort();
  auto again = tarn::base64Decode(tarn::base64Encode({data, size}));
  if (!again || !std::equal(again->begin(), again->end(), data, data + size)) std::abort();
  return 0;
}
