#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/failure.hpp"
#include "base/secret.hpp"

namespace tarn::channel {

inline constexpr std::size_t maxRequest = 8'388'608;
inline constexpr std::size_t maxDrain = 1'073'741'824;  // read in all before "input" is given up
inline constexpr std::size_t maxItems = 5000;
inline constexpr std::size_t maxDepth = 512;        // arrays and objects open at once
inline constexpr std::size_t maxDescription = 300;  // user-perceived characters

// One request as read: its bytes, with every string decoded in place, and views of the only two
// members any command reads. Nothing else of the request is kept.
class Request {
 public:
  Request() = default;
  // The views move with the buffer they point into; a copy would not, so there is none.
  Request(Request&&) = default;
  Request& operator=(Request&&) = default;

  // The strings under "items"; Failure "items" when it is absent, not an array of strings only,
  // or longer than maxItems.
  const std::vector<std::string_view>& items() const;

  // "reason" when it is a string.
  std::optional<std::string_view> reason() const { return reason_; }

 private:
  friend Request input(int fd);

  SecretBytes text_;
  std::vector<std::string_view> items_;
  bool itemsUsable_ = false;
  std::optional<std::string_view> reason_;
};

// The request read from `fd` to its end: strict JSON, a top-level object; empty input is an empty
// object. Failure "input" when it is longer than maxRequest or is an array; a platform error
// "parse error at offset N: reason" when it is not JSON.
Request input(int fd = 0);

using Texts = std::vector<SecretString, CleansingAllocator<SecretString>>;
// Texts that are no secret (sealed strings), taken as they come rather than copied.
using PublicTexts = std::vector<std::string>;

// A reply: members written in the order added, each a flag, a text or a list of texts.
struct Reply {
  struct Member {
    enum class Kind { flag, text, texts, publicTexts };
    std::string_view key;  // always a literal
    Kind kind;
    bool flag = false;
    SecretString text;
    Texts texts;
    PublicTexts publicTexts;
  };

  Reply() = default;
  template <typename Value>
  Reply(std::string_view key, Value&& value, int status = 0) : code(status) {
    add(key, std::forward<Value>(value));
  }
  void add(std::string_view key, bool flag) {
    members.push_back({key, Member::Kind::flag, flag, {}, {}, {}});
  }
  void add(std::string_view key, SecretString text) {
    members.push_back({key, Member::Kind::text, false, std::move(text), {}, {}});
  }
  void add(std::string_view key, Texts texts) {
    members.push_back({key, Member::Kind::texts, false, {}, std::move(texts), {}});
  }
  void add(std::string_view key, PublicTexts texts) {
    members.push_back({key, Member::Kind::publicTexts, false, {}, {}, std::move(texts)});
  }

  std::vector<Member, CleansingAllocator<Member>> members;
  int code = 0;
};

// The reply for an error that escaped a command.
Reply errorReply(const std::exception& error);

// Writes the reply as one compact JSON line to `fd`; {"error":"output"} when a text in it is not
// UTF-8.
void write(const Reply& reply, int fd = 1);

// A platform error's description as an error reply carries it: valid UTF-8, at most
// maxDescription user-perceived characters.
SecretString description(std::string_view text);

}  // namespace tarn::channel
