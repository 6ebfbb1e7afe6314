// Arbitrary bytes as a reply text: written only when it is UTF-8, and then read back whole;
// as an error description always made writable, never split inside a character.
#include <sys/mman.h>
#include <unistd.h>
#include <utf8proc.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "base/io.hpp"
#include "base/text.hpp"
#include "channel/channel.hpp"

namespace {

using namespace tarn;

// utf8proc's own reading, apart from ours.
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

std::string written(const channel::Reply& reply) {
  Descriptor fd(::memfd_create("reply", MFD_CLOEXEC));
  channel::write(reply, fd.get());
  std::string out(::lseek(fd.get(), 0, SEEK_END), '\0');
  if (::pread(fd.get(), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) {
    std::abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  SecretString fixed = repaired(text);
  if (!valid(fixed)) std::abort();
  std::size_t count = size == 0 ? 0 : data[0] % 40;
  std::string_view cut = graphemes(fixed, count);
  if (fixed.compare(0, cut.size(), cut) != 0 || !valid(cut)) std::abort();

  std::string line = written(channel::Reply("reason", SecretString(text.data(), text.size())));
  if (!valid(text)) {
    if (line != "{\"error\":\"output\"}\n") std::abort();
    return 0;
  }
  Descriptor back(::memfd_create("request", MFD_CLOEXEC));
  if (!writeAll(back.get(), line) || line.find('\n') != line.size() - 1) std::abort();
  ::lseek(back.get(), 0, SEEK_SET);
  if (channel::input(back.get()).reason() != std::string_view(text)) std::abort();
  written(channel::errorReply(std::runtime_error(text)));
  return 0;
}
