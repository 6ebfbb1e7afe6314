#include "wire/wire.hpp"

#include <algorithm>
#include <cstdio>

#include "base/base64.hpp"

#if defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

namespace tarn::wire {
namespace {

using rapidjson::SizeType;

enum class Kind { text, flag, list };

struct Member {
  std::string_view name;
  Kind kind;
  std::optional<std::string_view> Message::*text = nullptr;
  std::optional<bool> Message::*flag = nullptr;
  std::optional<std::vector<std::string_view>> Message::*list = nullptr;
};

constexpr Member textMember(std::string_view name, std::optional<std::string_view> Message::*m) {
  return {name, Kind::text, m, nullptr, nullptr};
}
constexpr Member flagMember(std::string_view name, std::optional<bool> Message::*m) {
  return {name, Kind::flag, nullptr, m, nullptr};
}
constexpr Member listMember(std::string_view name,
                            std::optional<std::vector<std::string_view>> Message::*m) {
  return {name, Kind::list, nullptr, nullptr, m};
}

constexpr Member members[] = {
    textMember("call", &Message::call),       textMember("key", &Message::key),
    textMember("point", &Message::point),     textMember("error", &Message::error),
    textMember("ask", &Message::ask),         textMember("say", &Message::say),
    textMember("answer", &Message::answer),   flagMember("tpm", &Message::tpm),
    flagMember("visible", &Message::visible), flagMember("warning", &Message::warning),
    flagMember("refused", &Message::refused), flagMember("refuse", &Message::refuse),
    flagMember("done", &Message::done),       flagMember("prompting", &Message::prompting),
    listMember("points", &Message::points),   listMember("secrets", &Message::secrets),
    textMember("asker", &Message::asker),
};

// Takes exactly the shape a message may have: one flat object of known members.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
 public:
  explicit Handler(Message& out) : out_(out) {}

  bool Default() { return refuse("a value of no allowed kind"); }
  bool Bool(bool value) {
    if (depth_ != 1 || member_ == nullptr || member_->kind != Kind::flag) return Default();
    out_.*(member_->flag) = value;
    return true;
  }
  bool String(const char* text, SizeType length, bool) {
    std::string_view value(text, length);
    if (depth_ == 2 && member_ != nullptr) {
      auto& list = *(out_.*(member_->list));
      if (list.size() == maxList) return refuse("a list that is too long");
      list.push_back(value);
      return true;
    }
    if (depth_ != 1 || member_ == nullptr || member_->kind != Kind::text) return Default();
    out_.*(member_->text) = value;
    return true;
  }
  bool Key(const char* text, SizeType length, bool) {
    std::string_view name(text, length);
    for (const Member& known : members) {
      if (known.name != name) continue;
      const std::size_t index = static_cast<std::size_t>(&known - members);
      if ((out_.present >> index) & 1) return refuse("a member given twice");
      out_.present |= 1u << index;
      member_ = &known;
      return true;
    }
    return refuse("an unknown member");
  }
  bool StartObject() {
    if (depth_ != 0) return Default();
    ++depth_;
    return true;
  }
  bool StartArray() {
    if (depth_ != 1 || member_ == nullptr || member_->kind != Kind::list) return Default();
    out_.*(member_->list) = std::vector<std::string_view>{};
    ++depth_;
    return true;
  }
  bool EndObject(SizeType) {
    --depth_;
    return true;
  }
  bool EndArray(SizeType) {
    --depth_;
    return true;
  }

  const char* why() const { return why_; }

 private:
  bool refuse(const char* why) {
    why_ = why;
    return false;
  }

  Message& out_;
  int depth_ = 0;
  const Member* member_ = nullptr;
  const char* why_ = nullptr;
};

void escape(SecretString& out, char c) {
  char code[8];
  std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned char>(c));
  out += code;
}

}  // namespace

std::uint32_t mask(std::initializer_list<std::string_view> names) {
  std::uint32_t bits = 0;
  for (std::string_view name : names) {
    for (const Member& known : members) {
      if (known.name == name) bits |= 1u << static_cast<unsigned>(&known - members);
    }
  }
  return bits;
}

Message parse(char* text, std::size_t size) {
  if (size > maxMessage)
    throw ProtocolError("a message over " + std::to_string(maxMessage) + " bytes");
  Message message;
  Handler handler(message);
  rapidjson::InsituStringStream stream(text);
  rapidjson::Reader reader;
  auto result = reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag>(
      stream, handler);
  if (result.IsError()) {
    if (handler.why() != nullptr) throw ProtocolError(handler.why());
    throw ProtocolError(GetParseError_En(result.Code()));
  }
  if (stream.Tell() != size) throw ProtocolError("bytes after the message");
  return message;
}

SecretString encoded(std::span<const std::uint8_t> bytes) {
  return base64Encode<SecretString>(bytes);
}

std::optional<SecretBytes> decoded(std::string_view text) {
  return base64Decode<SecretBytes>(text);
}

std::optional<Point> decodedPoint(std::string_view text) {
  auto bytes = base64Decode(text);
  Point point{};
  if (!bytes || bytes->size() != point.size() || (*bytes)[0] != 0x04) return std::nullopt;
  std::copy(bytes->begin(), bytes->end(), point.begin());
  return point;
}

Writer::Writer() : out_(secretString(256)) { out_ = "{"; }

void Writer::open(std::string_view name) {
  if (out_.size() > 1) out_ += ',';
  quote(name);
  out_ += ':';
}

void Writer::quote(std::string_view value) {
  out_ += '"';
  for (char c : value) {
    if (c == '"' || c == '\\') {
      out_ += '\\';
      out_ += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      escape(out_, c);
    } else {
      out_ += c;
    }
  }
  out_ += '"';
}

Writer& Writer::text(std::string_view name, std::string_view value) {
  open(name);
  quote(value);
  return *this;
}

Writer& Writer::flag(std::string_view name, bool value) {
  open(name);
  out_ += value ? "true" : "false";
  return *this;
}

SecretString Writer::finish() {
  out_ += '}';
  out_ += '\0';
  SecretString done = std::move(out_);
  out_ = secretString(256);
  out_ = "{";
  return done;
}

}  // namespace tarn::wire
