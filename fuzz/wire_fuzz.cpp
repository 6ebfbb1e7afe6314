// The custody protocol's message reader: any bytes give a Message or a ProtocolError, nothing else.
#include <cstdint>
#include <cstring>

#include "base/secret.hpp"
#include "wire/wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > tarn::wire::maxMessage) return 0;
  // the link hands the reader what comes before the first NUL
  const void* end = std::memchr(data, 0, size);
  const std::size_t text =
      end != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - data)
                     : size;
  tarn::SecretBytes buffer(text + tarn::wire::padding, 0);
  std::memcpy(buffer.data(), data, text);
  try {
    tarn::wire::Message m = tarn::wire::parse(reinterpret_cast<char*>(buffer.data()), text);
    if (m.points && m.points->size() > tarn::wire::maxList) __builtin_trap();
  } catch (const tarn::wire::ProtocolError&) {
  }
  return 0;
}
