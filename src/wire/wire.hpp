#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/io.hpp"
#include "base/point.hpp"
#include "base/secret.hpp"

// The conversation between the command and the custody service: NUL-terminated JSON objects on a
// UNIX stream socket (docs/WIRE.md).
namespace tarn::wire {

inline constexpr std::size_t maxMessage = 1 << 20;  // bytes before the NUL
inline constexpr std::size_t maxList = 5000;        // points or secrets in one message
inline constexpr std::size_t maxAsker = 4096;       // bytes of the asking program's path
// The whole prompt, from "prompting" to the verdict, however many questions PAM asks.
inline constexpr std::chrono::seconds promptLimit{120};
// The refusal that ends a prompt whose time ran out: the system cancelled it.
inline constexpr std::string_view timedOut = "timed out";
// Zero bytes after a message's text: the reader looks ahead sixteen bytes at a time.
inline constexpr std::size_t padding = 16;

// A message that breaks the protocol; what() says how, never what the message held.
struct ProtocolError : std::runtime_error {
  explicit ProtocolError(const std::string& why) : std::runtime_error("protocol: " + why) {}
};

// One message as read. Which members are present says what it is; each view points into the
// received text.
struct Message {
  std::optional<std::string_view> call, key, point, error, ask, say, answer, asker;
  std::optional<bool> tpm, visible, warning, refused, refuse, done, prompting;
  std::optional<std::vector<std::string_view>> points, secrets;
  std::uint32_t present = 0;  // which members came, as mask() names them
};

// The members named, as Message::present has them; a name no message has counts for nothing.
std::uint32_t mask(std::initializer_list<std::string_view> names);

// Reads the `size` bytes of JSON at `text`, followed by `padding` zero bytes, decoding strings in
// place. Only an object whose members are known, each once, of its own kind. ProtocolError else.
Message parse(char* text, std::size_t size);

// Binary values travel as strict Base64; secrets among them only in wiping memory.
SecretString encoded(std::span<const std::uint8_t> bytes);
std::optional<SecretBytes> decoded(std::string_view text);
// A P-256 point as both ends send it: Base64 of its uncompressed 65-byte form.
std::optional<Point> decodedPoint(std::string_view text);

// A message being written, member by member.
class Writer {
 public:
  Writer();
  Writer& text(std::string_view name, std::string_view value);
  Writer& flag(std::string_view name, bool value);
  template <typename Texts>
  Writer& list(std::string_view name, const Texts& values) {
    open(name);
    out_ += '[';
    bool first = true;
    for (const auto& value : values) {
      if (!first) out_ += ',';
      quote(value);
      first = false;
    }
    out_ += ']';
    return *this;
  }
  // The message with its closing brace and NUL; the writer is empty afterwards.
  SecretString finish();

 private:
  void open(std::string_view name);
  void quote(std::string_view value);

  SecretString out_;
};

// A received message with the text its views point into.
struct Received {
  SecretBytes text;
  Message message;
};

using Clock = std::chrono::steady_clock;

// One end of the socket: whole messages out, whole messages in.
class Link {
 public:
  explicit Link(Descriptor socket) : socket_(std::move(socket)) {}

  int descriptor() const { return socket_.get(); }
  // Throws a platform error when the other end is gone.
  void send(const SecretString& message);
  // The next message, waiting until `deadline` (ProtocolError past it); nothing at the end of
  // the stream.
  std::optional<Received> receive(std::optional<Clock::time_point> deadline);
  // Whether a whole message has already arrived, or the other end has closed.
  bool pending();

 private:
  bool fill(std::optional<Clock::time_point> deadline);

  Descriptor socket_;
  SecretBytes buffer_ = SecretBytes(64 * 1024);
  std::size_t used_ = 0;
  bool closed_ = false;
};

}  // namespace tarn::wire
