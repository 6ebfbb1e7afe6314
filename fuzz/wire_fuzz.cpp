// The custody protocol's message reader: any bytes give a Message or a ProtocolError, nothing else.
#include <cstdint>
#include <cstring>

#include "base/secret.hpp"
#include "wire/wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > tarn::wire::maxMessage) return 0;
  const std::size_t text = std::strlen(reinterpret_cast<const char*>(data)) < size
                               ? std::strlen(reinterpret_cast<const char*>(data))
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
