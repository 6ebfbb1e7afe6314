#include "channel/channel.hpp"

#include <unistd.h>

#include <cerrno>

// Placeholder channel: replaced by the full reader and writer.
namespace tarn::channel {

Json input(int) { return Json::object(); }

std::vector<std::string_view> strings(const Json*) { throw Failure("items"); }

Reply errorReply(const std::exception& error) {
  Reply r;
  r.body = Json::object();
  r.body["error"] = SecretString(error.what());
  r.code = 1;
  return r;
}

void reply(const Reply& reply, int fd) {
  SecretString body = reply.body.dump();
  body += '\n';
  std::size_t done = 0;
  while (done < body.size()) {
    ssize_t n = ::write(fd, body.data() + done, body.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string validUtf8(std::string_view text) { return std::string(text); }
std::string_view graphemes(std::string_view text, std::size_t) { return text; }

}  // namespace tarn::channel
