// Arbitrary bytes as an error description: always made writable, never split inside a character.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utf8proc.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "base/text.hpp"
#include "channel/channel.hpp"

namespace {

bool valid(std::string_view text) {
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarn;
  std::string text(reinterpret_cast<const char*>(data), size);
  SecretString fixed = repaired(text);
  if (!valid(fixed)) std::abort();
  std::size_t count = size == 0 ? 0 : data[0] % 40;
  std::string_view cut = graphemes(fixed, count);
  if (fixed.compare(0, cut.size(), cut) != 0 || !valid(cut)) std::abort();

  // The reply writer agrees byte for byte with the JSON library's own compact writer.
  channel::Reply echo;
  echo.body["text"] = SecretString(fixed.data(), fixed.size());
  int written = ::memfd_create("reply", MFD_CLOEXEC);
  channel::reply(echo, written);
  std::string expected = std::string(echo.body.dump()) + "\n", got(expected.size() + 1, '\0');
  if (::pread(written, got.data(), got.size(), 0) != static_cast<ssize_t>(expected.size()) ||
      got.compare(0, expected.size(), expected) != 0) {
    std::abort();
  }
  ::close(written);

  channel::Reply reply = channel::errorReply(std::runtime_error(text));
  int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  channel::reply(reply, sink);
  channel::reply(channel::errorReply(tarn::Failure(text)), sink);
  ::close(sink);
  return 0;
}
