#include "channel/parse.hpp"

#include <string>

#include "base/text.hpp"
#include "channel/channel.hpp"

// Every x86-64 has SSE2: it lets the reader skip plain runs of a string sixteen bytes at a time.
#if defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

namespace tarn::channel {
namespace {

using rapidjson::SizeType;
using Stream = rapidjson::InsituStringStream;

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t none = std::string_view::npos;

// Where the reader on this thread met the first \u escape of a lone low surrogate, from where it
// started; it refuses a lone high one itself but decodes a low one as if it were a character.
thread_local std::size_t loneSurrogateAt = none;

// UTF-8 as the reader writes it, noting the escapes that make a lone low surrogate. Only the
// in-place stream is ever written to, just past the escape's six characters.
struct Utf8 : rapidjson::UTF8<char> {
  template <typename Output>
  static void Encode(Output& out, unsigned codepoint) {
    if constexpr (requires { out.Tell(); }) {
      if (codepoint >= 0xDC00 && codepoint <= 0xDFFF && loneSurrogateAt == none) {
        loneSurrogateAt = out.Tell() - 6;
      }
    }
    rapidjson::UTF8<char>::Encode(out, codepoint);
  }
};

// Why the handler stopped the reader.
enum class Stop { none, depth, surrogate, scalar };

// Follows the reader's events and keeps views of the top-level "items" strings and "reason";
// everything else is checked by the reader and let go.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
 public:
  explicit Handler(Parsed& out) : out_(out) {}

  bool Default() { return value(std::nullopt); }
  bool String(const char* text, SizeType length, bool) {
    return wellFormed() && value(std::string_view(text, length));
  }
  bool Key(const char* text, SizeType length, bool) {
    if (!wellFormed()) return false;
    if (depth_ == 1) member(std::string_view(text, length));
    return true;
  }
  bool StartObject() { return open(false); }
  bool StartArray() { return open(true); }
  bool EndObject(SizeType) { return close(); }
  bool EndArray(SizeType) { return close(); }

  Stop stop() const { return stop_; }

 private:
  // Stops at the end of the string that decoded a lone surrogate: nothing after it counts.
  bool wellFormed() {
    if (loneSurrogateAt == none) return true;
    stop_ = Stop::surrogate;
    return false;
  }

  // A top-level key: the first "items" and the first "reason" are the ones that count.
  void member(std::string_view name) {
    slot_ = Slot::none;
    if (name == "items" && !seenItems_) {
      seenItems_ = true;
      slot_ = Slot::items;
    } else if (name == "reason" && !seenReason_) {
      seenReason_ = true;
      slot_ = Slot::reason;
    }
  }

  bool value(std::optional<std::string_view> text) {
    if (depth_ == 0) {
      stop_ = Stop::scalar;
      return false;
    }
    if (depth_ == 1) {
      if (slot_ == Slot::reason && text) out_.reason = text;
      slot_ = Slot::none;
    } else if (depth_ == 2 && collecting_) {
      if (!text || out_.items.size() == maxItems) {
        refuseItems();
      } else {
        out_.items.push_back(*text);
      }
    }
    return true;
  }

  bool open(bool array) {
    if (depth_ == maxDepth) {
      stop_ = Stop::depth;
      return false;
    }
    if (depth_ == 0) {
      out_.array = array;
    } else if (depth_ == 1) {
      if (slot_ == Slot::items) collecting_ = out_.itemsUsable = array;
      slot_ = Slot::none;
    } else if (depth_ == 2 && collecting_) {
      refuseItems();
    }
    ++depth_;
    return true;
  }

  bool close() {
    if (--depth_ == 1) collecting_ = false;
    return true;
  }

  void refuseItems() {
    collecting_ = out_.itemsUsable = false;
    out_.items = {};
  }

  Parsed& out_;
  std::size_t depth_ = 0;                                      // arrays and objects open
  enum class Slot { none, items, reason } slot_ = Slot::none;  // whose value comes next
  bool seenItems_ = false;
  bool seenReason_ = false;
  bool collecting_ = false;  // inside the top-level "items" array, which is usable so far
  Stop stop_ = Stop::none;
};

struct Refusal {
  std::size_t offset;
  std::string reason;
};

// The handler's or the reader's refusal of the `size` bytes at `text`, which it read from `start`
// (past a byte-order mark).
Refusal refusal(const rapidjson::ParseResult& result, const Handler& handler, const char* text,
                std::size_t size, std::size_t start) {
  switch (result.Code() == rapidjson::kParseErrorTermination ? handler.stop() : Stop::none) {
    case Stop::depth:  // the reader has taken the bracket that was one too many
      return {start + result.Offset() - 1,
              "More than " + std::to_string(maxDepth) + " nested arrays or objects."};
    case Stop::surrogate:  // at the escape, as the reader places a lone high surrogate
      return {start + loneSurrogateAt,
              GetParseError_En(rapidjson::kParseErrorStringUnicodeSurrogateInvalid)};
    case Stop::scalar:
      return {std::string_view(text).find_first_not_of(" \t\n\r", start),
              "The document root must be an object."};
    case Stop::none:
      break;
  }
  std::size_t at = start + result.Offset();
  // The reader names a control character in a string as a bad escape or a missing quote.
  if (result.Code() == rapidjson::kParseErrorStringEscapeInvalid ||
      result.Code() == rapidjson::kParseErrorStringMissQuotationMark) {
    if (at < size && static_cast<unsigned char>(text[at]) < 0x20) {
      return {at, "Unescaped control character in string."};
    }
  }
  return {at, GetParseError_En(result.Code())};
}

}  // namespace

Parsed parse(char* text, std::size_t size) {
  std::string_view whole(text, size);
  std::size_t start = whole.starts_with(byteOrderMark) ? byteOrderMark.size() : 0;
  // Checked apart from the reader, which would otherwise decode string bytes one by one.
  std::size_t illFormed = illFormedAt(whole);

  Parsed parsed;
  Stream stream(text + start);
  Handler handler(parsed);
  rapidjson::GenericReader<Utf8, Utf8> reader;
  loneSurrogateAt = none;
  rapidjson::ParseResult result = reader.Parse<rapidjson::kParseInsituFlag>(stream, handler);
  std::optional<Refusal> refused;
  if (result.IsError()) {
    refused = refusal(result, handler, text, size, start);
  } else if (start + stream.Tell() < size) {  // the reader takes a NUL byte for the end
    refused = {start + stream.Tell(),
               GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular)};
  }
  // The first fault in reading order: the reader may have gone past a lone surrogate to another
  // fault in the same string, and it never looks at the bytes the UTF-8 check refused.
  auto earlier = [&](std::size_t at, rapidjson::ParseErrorCode code) {
    if (at != none && (!refused || refused->offset > at)) refused = {at, GetParseError_En(code)};
  };
  if (loneSurrogateAt != none) {
    earlier(start + loneSurrogateAt, rapidjson::kParseErrorStringUnicodeSurrogateInvalid);
  }
  earlier(illFormed, rapidjson::kParseErrorStringInvalidEncoding);
  if (refused) {
    throw ParseError("parse error at offset " + std::to_string(refused->offset) + ": " +
                     refused->reason);
  }
  return parsed;
}

}  // namespace tarn::channel
