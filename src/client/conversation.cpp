#include "client/conversation.hpp"

#include <chrono>
#include <string>

#include "client/client.hpp"

namespace tarn::client {
namespace {

// The service bounds the whole prompt itself; this only keeps a vanished one from holding us.
constexpr auto promptLimit = wire::promptLimit + std::chrono::seconds(30);

}  // namespace

prompt::Event Conversation::next() {
  std::optional<wire::Received> received = std::move(held_);
  held_.reset();
  if (!received) received = link_.receive(wire::Clock::now() + promptLimit);
  if (!received) throw ServiceGone();
  const wire::Message& m = received->message;
  if (m.error) throw ServiceError(std::string(*m.error));
  if (m.prompting) return prompt::Started{};
  if (m.refused) return prompt::Refused{};
  if (m.ask) return prompt::Question{std::string(*m.ask), m.visible.value_or(false)};
  if (m.say) return prompt::Message{std::string(*m.say), m.warning.value_or(false)};
  if (m.done || m.secrets) {
    last_ = std::move(received);
    return prompt::Finished{};
  }
  throw wire::ProtocolError("a message out of turn");
}

void Conversation::answer(std::optional<SecretString> text) {
  if (text) {
    // in Base64: a password is bytes, and need not be UTF-8
    link_.send(
        wire::Writer()
            .text("answer", wire::encoded(std::span(
                                reinterpret_cast<const std::uint8_t*>(text->data()), text->size())))
            .finish());
  } else {
    link_.send(wire::Writer().flag("refuse", true).finish());
  }
}

}  // namespace tarn::client
