#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/io.hpp"
#include "base/text.hpp"
#include "channel/channel.hpp"

namespace tarn::channel {
namespace {

constexpr std::string_view unwritable = R"({"error":"output"})";

// How many bytes at the start of `text` go into a JSON string as they are: all but control
// characters, '"' and '\'. Eight bytes are looked at a time.
std::size_t plainRun(std::string_view text) {
  constexpr std::uint64_t ones = 0x0101010101010101, high = 0x8080808080808080;
  const auto has = [](std::uint64_t word, unsigned char c) {  // a byte equal to c
    std::uint64_t x = word ^ (ones * c);
    return (x - ones) & ~x & high;
  };
  std::size_t at = 0;
  for (std::uint64_t word; text.size() - at >= sizeof word; at += sizeof word) {
    std::memcpy(&word, text.data() + at, sizeof word);
    // A byte below 0x20 is one whose value minus 0x20 borrows while its top bit is clear.
    if (((word - ones * 0x20) & ~word & high) | has(word, '"') | has(word, '\\')) break;
  }
  while (at < text.size()) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x20 || c == '"' || c == '\\') break;
    ++at;
  }
  return at;
}

// The escape for a byte that cannot stand in a JSON string as it is.
std::string_view escape(unsigned char c, char (&spelled)[6]) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::memcpy(spelled, "\\u00", 4);
  spelled[4] = hex[c >> 4];
  spelled[5] = hex[c & 0xF];
  return {spelled, 6};
}

// Compact JSON into a wiped buffer that goes to the descriptor each time it fills, so a reply of
// several MiB is never held twice.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd), buffer_(64 * 1024) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void reply(const Reply& reply) {
    put("{");
    for (std::size_t i = 0; i < reply.members.size(); ++i) {
      if (i > 0) put(",");
      string(reply.members[i].key);
      put(":");
      value(reply.members[i]);
    }
    put("}");
    flush();
  }

 private:
  void value(const Reply::Member& member) {
    switch (member.kind) {
      case Reply::Member::Kind::flag:
        return put(member.flag ? "true" : "false");
      case Reply::Member::Kind::text:
        return string(member.text);
      case Reply::Member::Kind::texts:
        return list(member.texts);
      case Reply::Member::Kind::publicTexts:
        return list(member.publicTexts);
    }
  }

  template <typename List>
  void list(const List& texts) {
    put("[");
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) put(",");
      string(texts[i]);
    }
    put("]");
  }

  void string(std::string_view text) {
    put("\"");
    char spelled[6];
    while (!text.empty()) {
      std::size_t run = plainRun(text);
      put(text.substr(0, run));
      if (run == text.size()) break;
      put(escape(static_cast<unsigned char>(text[run]), spelled));
      text.remove_prefix(run + 1);
    }
    put("\"");
  }

  void put(std::string_view bytes) {
    while (!bytes.empty()) {
      if (used_ == buffer_.size()) flush();
      std::size_t n = std::min(bytes.size(), buffer_.size() - used_);
      std::memcpy(buffer_.data() + used_, bytes.data(), n);
      used_ += n;
      bytes.remove_prefix(n);
    }
  }

  void flush() {
    writeAll(fd_, {reinterpret_cast<const char*>(buffer_.data()), used_});
    used_ = 0;
  }

  int fd_;
  SecretBytes buffer_;
  std::size_t used_ = 0;
};

// Whether every text of the reply can be written: known before the first byte goes out.
bool writable(const Reply& reply) {
  const auto utf8 = [](std::string_view text) { return isUtf8(text); };
  return std::ranges::all_of(reply.members, [&](const Reply::Member& member) {
    return isUtf8(member.key) && isUtf8(member.text) && std::ranges::all_of(member.texts, utf8) &&
           std::ranges::all_of(member.publicTexts, utf8);
  });
}

}  // namespace

Reply errorReply(const std::exception& error) {
  if (const auto* failure = dynamic_cast<const Failure*>(&error)) {
    return Reply("error", SecretString(failure->message), 1);
  }
  const char* said = error.what();
  return Reply("error", description(said != nullptr ? said : ""), 1);
}

// Cutting first reads only what the reply keeps; ill-formed bytes break clusters the way their
// U+FFFD would, so the cut falls where it would fall in the repaired text.
SecretString description(std::string_view text) {
  return repaired(graphemes(text, maxDescription));
}

void write(const Reply& reply, int fd) {
  if (writable(reply)) {
    Writer(fd).reply(reply);
  } else {
    writeAll(fd, unwritable);
  }
  writeAll(fd, "\n");
}

}  // namespace tarn::channel
