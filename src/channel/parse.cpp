#include "channel/parse.hpp"

#include <memory>
#include <string>

#include "channel/wiped.hpp"

namespace tarn::channel {
namespace {

using Position = nlohmann::detail::position_t;

// The parser's refusal of a request, carried to the error reply. Only as much of the description
// is kept as a reply can show, and in wiping memory: "last read" may quote a plaintext.
class ParseError : public std::exception {
 public:
  explicit ParseError(SecretString text)
      : text_(std::allocate_shared<SecretString>(CleansingAllocator<SecretString>(),
                                                 std::move(text))) {}
  const char* what() const noexcept override { return text_->c_str(); }

 private:
  std::shared_ptr<const SecretString> text_;
};

// Walks the request's bytes for the lexer, counting lines and columns the way the lexer does so
// that our own refusals name the place as its errors do.
class Cursor {
 public:
  explicit Cursor(std::vector<SecretBytes>& chunks) : chunk_(chunks.begin()), end_(chunks.end()) {}

  std::char_traits<char>::int_type next() {
    while (chunk_ != end_ && at_ == chunk_->size()) {
      SecretBytes().swap(*chunk_);
      ++chunk_;
      at_ = 0;
    }
    if (chunk_ == end_) {
      ended_ = true;
      return std::char_traits<char>::eof();
    }
    std::uint8_t byte = (*chunk_)[at_++];
    before_ = after_;
    ++after_.chars_read_total;
    ++after_.chars_read_current_line;
    if (byte == '\n') {
      ++after_.lines_read;
      after_.chars_read_current_line = 0;
    }
    follow(byte);
    // The lexer takes a NUL for the end of input, so "{}" followed by NUL and anything would pass.
    // 0x100 is refused wherever a token may start and is shown as <U+0000> in the description.
    if (byte == 0 && in_ == In::text) return 0x100;
    return byte;
  }

  // Where the token the lexer just read ends, counted as the lexer counts. A number is only known
  // to end once the byte after it (if any) has been read.
  Position tokenEnd(bool number) const { return number && !ended_ ? before_ : after_; }

 private:
  // Strings begin and end at an unescaped quote; outside strings a NUL is no part of any token.
  void follow(std::uint8_t byte) {
    switch (in_) {
      case In::text:
        if (byte == '"') in_ = In::string;
        break;
      case In::string:
        if (byte == '\\') {
          in_ = In::escape;
        } else if (byte == '"') {
          in_ = In::text;
        }
        break;
      case In::escape:
        in_ = In::string;
        break;
    }
  }

  std::vector<SecretBytes>::iterator chunk_, end_;
  std::size_t at_ = 0;
  enum class In { text, string, escape } in_ = In::text;
  Position before_, after_;
  bool ended_ = false;
};

// What the lexer owns; the cursor stays with us so that the builder can ask where the lexer is.
struct Source {
  using char_type = char;
  Cursor* cursor;
  std::char_traits<char>::int_type get_character() { return cursor->next(); }
};

// Builds the request from the parser's events, keeping the first of duplicate keys.
class Builder {
 public:
  Builder(Json& root, const Cursor& cursor) : root_(root), cursor_(cursor) {}

  bool null() { return put(nullptr, "null literal"); }
  bool boolean(bool value) { return put(value, value ? "true literal" : "false literal"); }
  bool number_integer(std::int64_t value) { return put(value, "number literal", true); }
  bool number_unsigned(std::uint64_t value) { return put(value, "number literal", true); }
  bool number_float(double value, const SecretString&) {
    return put(value, "number literal", true);
  }
  bool string(SecretString& value) { return put(std::move(value), "string literal"); }
  bool binary(Json::binary_t&) { return false; }  // JSON text has no binary values

  bool start_object(std::size_t) { return open(Json::value_t::object, "'{'"); }
  bool start_array(std::size_t) { return open(Json::value_t::array, "'['"); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(SecretString& name) {
    if (skipping_) return true;
    auto [member, fresh] = stack_.back()->get_ref<Json::object_t&>().try_emplace(std::move(name));
    if (fresh) {
      slot_ = &member->second;
    } else {
      skip(depth_);
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    error_ = description(error.what());
    return false;
  }

  SecretString& error() { return error_; }

 private:
  bool put(Json value, const char* kind, bool number = false) {
    if (skipping_) {
      skipping_ = depth_ != skipUntil_;
      return true;
    }
    if (stack_.empty()) {
      return refuse(cursor_.tokenEnd(number),
                    std::string("unexpected ") + kind + "; expected '[' or '{'");
    }
    place(std::move(value));
    return true;
  }

  bool open(Json::value_t type, const char* kind) {
    if (depth_ == maxDepth) {
      return refuse(cursor_.tokenEnd(false), "more than " + std::to_string(maxDepth) +
                                                 " nested arrays or objects; last read: " + kind);
    }
    ++depth_;
    if (skipping_) return true;
    if (!stack_.empty()) {
      stack_.push_back(place(Json(type)));
      return true;
    }
    root_ = Json(type);
    if (type == Json::value_t::array) {
      skip(0);  // an array is refused once it is known to be JSON: nothing in it is worth keeping
    } else {
      stack_.push_back(&root_);
    }
    return true;
  }

  bool close() {
    --depth_;
    if (skipping_) {
      skipping_ = depth_ != skipUntil_;
      return true;
    }
    stack_.pop_back();
    return true;
  }

  // What follows is read but not kept until the depth is back to `until`.
  void skip(std::size_t until) {
    skipping_ = true;
    skipUntil_ = until;
  }

  Json* place(Json value) {
    Json& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    *slot_ = std::move(value);
    return slot_;
  }

  bool refuse(const Position& where, const std::string& what) {
    error_ = description(nlohmann::detail::parse_error::create(
                             101, where, "syntax error while parsing value - " + what, nullptr)
                             .what());
    return false;
  }

  Json& root_;
  const Cursor& cursor_;
  std::vector<Json*> stack_;  // the open containers that are kept, innermost last
  Json* slot_ = nullptr;      // where the value after the last key goes
  std::size_t depth_ = 0;     // open containers, kept or not
  bool skipping_ = false;
  std::size_t skipUntil_ = 0;  // the depth at which skipping ends
  SecretString error_;
};

using Parser = nlohmann::detail::parser<Json, Source>;

}  // namespace

Json parse(std::vector<SecretBytes>&& chunks) {
  Json root;
  Cursor cursor(chunks);
  Builder builder(root, cursor);
  bool parsed = false;
  {
    // No parser callback (quadratic on large arrays) and no comments.
    Wiped<Parser> parser(Source{&cursor}, nullptr, true, false);
    parsed = parser->sax_parse(&builder, true);
  }
  if (!parsed) throw ParseError(std::move(builder.error()));
  return root;
}

}  // namespace tarn::channel
