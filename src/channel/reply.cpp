#include <stdexcept>

#include "base/io.hpp"
#include "base/text.hpp"
#include "channel/channel.hpp"

namespace tarn::channel {
namespace {

constexpr std::string_view unwritable = R"({"error":"output"})";

struct Unwritable : std::exception {};

// Compact JSON of the reply in two passes: the first measures (and refuses text that is not
// UTF-8), the second writes into a buffer of exactly that size, so a reply of several MiB is
// never copied to grow.
class Writer {
 public:
  explicit Writer(SecretString* out) : out_(out) {}

  void value(const Json& v) {
    switch (v.type()) {
      case Json::value_t::object: {
        put("{");
        bool first = true;
        for (const auto& [key, member] : v.get_ref<const Json::object_t&>()) {
          if (!first) put(",");
          first = false;
          string(key);
          put(":");
          value(member);
        }
        put("}");
        break;
      }
      case Json::value_t::array: {
        put("[");
        bool first = true;
        for (const Json& item : v) {
          if (!first) put(",");
          first = false;
          value(item);
        }
        put("]");
        break;
      }
      case Json::value_t::string:
        string(v.get_ref<const SecretString&>());
        break;
      case Json::value_t::boolean:
        put(v.get<bool>() ? "true" : "false");
        break;
      case Json::value_t::null:
        put("null");
        break;
      default:  // numbers: no reply of ours holds one, so the library's way is fast enough
        put(std::string_view(v.dump()));
    }
  }

  std::size_t size() const { return size_; }

 private:
  void put(std::string_view text) {
    size_ += text.size();
    if (out_ != nullptr) out_->append(text);
  }

  void string(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    put("\"");
    std::size_t run = 0;  // bytes written as they are, waiting to be copied in one go
    for (std::size_t i = 0; i < text.size();) {
      auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
        ++i;
        ++run;
        continue;
      }
      if (c >= 0x80) {
        CodePoint point = decode(text.substr(i));
        if (!point.valid) throw Unwritable();
        i += point.length;
        run += point.length;
        continue;
      }
      put(text.substr(i - run, run));
      run = 0;
      ++i;
      switch (c) {
        case '"':
          put("\\\"");
          break;
        case '\\':
          put("\\\\");
          break;
        case '\b':
          put("\\b");
          break;
        case '\f':
          put("\\f");
          break;
        case '\n':
          put("\\n");
          break;
        case '\r':
          put("\\r");
          break;
        case '\t':
          put("\\t");
          break;
        default: {
          const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
          put(std::string_view(escaped, sizeof escaped));
        }
      }
    }
    put(text.substr(text.size() - run, run));
    put("\"");
  }

  SecretString* out_;
  std::size_t size_ = 0;
};

SecretString compact(const Json& value) {
  Writer measure(nullptr);
  measure.value(value);
  SecretString text = secretString(measure.size() + 1);
  Writer(&text).value(value);
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

// Cutting first reads only what the reply keeps; ill-formed bytes break clusters the way their
// U+FFFD would, so the cut falls where it would fall in the repaired text.
SecretString description(std::string_view text) {
  return repaired(graphemes(text, maxDescription));
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
