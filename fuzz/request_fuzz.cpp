// Arbitrary bytes as a request: refused or read, never a crash. What is read goes out as a reply
// that reads back to the same strings.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/request.hpp"
#include "base/io.hpp"
#include "channel/channel.hpp"

namespace {

using namespace tarn;

Descriptor holding(std::string_view bytes) {
  Descriptor fd(::memfd_create("fuzz", MFD_CLOEXEC));
  if (!fd || !writeAll(fd.get(), bytes)) std::abort();
  ::lseek(fd.get(), 0, SEEK_SET);
  return fd;
}

channel::Request readBack(const channel::Reply& reply) {
  Descriptor fd(::memfd_create("reply", MFD_CLOEXEC));
  channel::write(reply, fd.get());
  ::lseek(fd.get(), 0, SEEK_SET);
  return channel::input(fd.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  channel::Reply reply;
  try {
    channel::Request request =
        channel::input(holding({reinterpret_cast<const char*>(data), size}).get());
    SecretString why = app::reason(request);
    const auto& items = request.items();
    if (items.size() > channel::maxItems) std::abort();
    reply = channel::Reply("items", channel::Texts(items.begin(), items.end()));
    reply.add("reason", std::move(why));
    channel::Request again = readBack(reply);
    if (!std::ranges::equal(again.items(), items) ||
        again.reason() != std::string_view(reply.members[1].text)) {
      std::abort();
    }
  } catch (const std::exception& error) {
    reply = channel::errorReply(error);
  }
  Descriptor sink(::memfd_create("sink", MFD_CLOEXEC));
  channel::write(reply, sink.get());
  return 0;
}
