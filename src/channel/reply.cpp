#include "channel/channel.hpp"
#include "channel/io.hpp"
#include "channel/wiped.hpp"

namespace tarn::channel {
namespace {

constexpr std::string_view unwritable = R"({"error":"output"})";

// Compact, UTF-8, as Json::dump writes it, but with the writer's own buffer wiped afterwards:
// it holds the last piece of the reply, which may be a plaintext.
SecretString compact(const Json& value) {
  SecretString text;
  Wiped<nlohmann::detail::serializer<Json>> writer(
      nlohmann::detail::output_adapter<char, SecretString>(text), ' ');
  writer->dump(value, false, false, 0);
  return text;
}

}  // namespace

Reply errorReply(const std::exception& error) {
  Reply answer{Json::object(), 1};
  if (const auto* failure = dynamic_cast<const Failure*>(&error)) {
    answer.body["error"] = SecretString(failure->message);
  } else {
    const char* said = error.what();
    answer.body["error"] = description(said != nullptr ? said : "");
  }
  return answer;
}

void reply(const Reply& reply, int fd) {
  SecretString body;
  try {
    body = compact(reply.body);
  } catch (const std::exception&) {
    body = unwritable;
  }
  writeAll(fd, body);
  writeAll(fd, "\n");
}

}  // namespace tarn::channel
