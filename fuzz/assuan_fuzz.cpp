// Arbitrary bytes as a line from pinentry: parsed without reading past it, data decoded safely.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "prompt/pinentry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarn;
  std::string_view line(reinterpret_cast<const char*>(data), size);
  prompt::AssuanReply reply = prompt::parseAssuanReply(line);
  if (!reply.text.empty() && (reply.text.data() < line.data() ||
                              reply.text.data() + reply.text.size() > line.data() + line.size())) {
    std::abort();
  }
  SecretString decoded;
  if (reply.kind == prompt::AssuanReply::Kind::data) {
    prompt::assuanUnescape(reply.text, decoded);
  }
  // Whatever the bytes, escaping them and decoding that gives them back.
  SecretString again;
  if (!prompt::assuanUnescape(prompt::assuanEscape(line), again) || again != line) std::abort();
  return 0;
}
