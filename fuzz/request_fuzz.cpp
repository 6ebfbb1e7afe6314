// Arbitrary bytes as a request: the reader, the list and the reason must refuse, never crash.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "app/request.hpp"
#include "channel/channel.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarn;
  int fd = ::memfd_create("request", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  ::lseek(fd, 0, SEEK_SET);
  channel::Reply reply;
  try {
    channel::Json request = channel::input(fd);
    if (!request.is_object()) std::abort();
    SecretString reason = app::reason(request);
    auto items = channel::strings(app::lookup(request, "items"));
    if (items.size() > channel::maxItems) std::abort();
    reply.body["items"] = channel::Json::array();
    for (auto item : items) reply.body["items"].push_back(SecretString(item));
    reply.body["reason"] = reason;
  } catch (const std::exception& error) {
    reply = channel::errorReply(error);
  }
  ::close(fd);
  int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  channel::reply(reply, sink);
  ::close(sink);
  return 0;
}
