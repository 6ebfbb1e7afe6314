#pragma once

#include "prompt/prompt.hpp"
#include "wire/wire.hpp"

namespace tarn::client {

// PAM's side of the prompt, as the custody service relays it.
class Conversation : public prompt::Conversation {
 public:
  Conversation(wire::Link link, wire::Received first)
      : link_(std::move(link)), held_(std::move(first)) {}

  int descriptor() const override { return link_.descriptor(); }
  bool pending() override { return held_.has_value() || link_.pending(); }
  prompt::Event next() override;
  void answer(std::optional<SecretString> text) override;

  // The message that finished the conversation.
  wire::Received last() { return std::move(*last_); }

 private:
  wire::Link link_;
  std::optional<wire::Received> held_;  // the first message, read before the prompt began
  std::optional<wire::Received> last_;
};

}  // namespace tarn::client
