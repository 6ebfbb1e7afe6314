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

// Why the handler stopped the reader.
enum class Stop { none, depth, surrogate, scalar };

// Follows the reader's events and keeps views of the top-level "items" strings and "reason";
// everything else is checked by the reader and let go.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
 public:
  // `rawWellFormed`: the text's own bytes are UTF-8, so only an escape can make a surrogate.
  Handler(Parsed& out, bool rawWellFormed) : out_(out), checkSurrogates_(rawWellFormed) {}

  bool Default() { return value(std::nullopt); }
  bool String(const char* text, SizeType length, bool) {
    std::string_view decoded(text, length);
    return wellFormed(decoded) && value(decoded);
  }
  bool Key(const char* text, SizeType length, bool) {
    std::string_view name(text, length);
    if (!wellFormed(name)) return false;
    if (depth_ == 1) member(name);
    return true;
  }
  bool StartObject() { return open(false); }
  bool StartArray() { return open(true); }
  bool EndObject(SizeType) { return close(); }
  bool EndArray(SizeType) { return close(); }

  Stop stop() const { return stop_; }
  const char* stoppedString() const { return stoppedString_; }

 private:
  // The reader refuses a lone high surrogate but decodes a lone low one (as ED B0..BF).
  bool wellFormed(std::string_view decoded) {
    if (!checkSurrogates_) return true;
    for (auto at = decoded.find('\xED'); at != std::string_view::npos;
         at = decoded.find('\xED', at + 1)) {
      if (at + 1 < decoded.size() && static_cast<unsigned char>(decoded[at + 1]) >= 0xA0) {
        stop_ = Stop::surrogate;
        stoppedString_ = decoded.data();
        return false;
      }
    }
    return true;
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
  bool checkSurrogates_;
  std::size_t depth_ = 0;                                      // arrays and objects open
  enum class Slot { none, items, reason } slot_ = Slot::none;  // whose value comes next
  bool seenItems_ = false;
  bool seenReason_ = false;
  bool collecting_ = false;  // inside the top-level "items" array, which is usable so far
  Stop stop_ = Stop::none;
  const char* stoppedString_ = nullptr;
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
    case Stop::surrogate:  // at the string's opening quote
      return {static_cast<std::size_t>(handler.stoppedString() - text) - 1,
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
  Handler handler(parsed, illFormed == std::string_view::npos);
  rapidjson::Reader reader;
  rapidjson::ParseResult result = reader.Parse<rapidjson::kParseInsituFlag>(stream, handler);
  std::optional<Refusal> refused;
  if (result.IsError()) {
    refused = refusal(result, handler, text, size, start);
  } else if (start + stream.Tell() < size) {  // the reader takes a NUL byte for the end
    refused = {start + stream.Tell(),
               GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular)};
  }
  // Whichever the reader would have met first.
  if (illFormed != std::string_view::npos && (!refused || refused->offset > illFormed)) {
    refused = {illFormed, GetParseError_En(rapidjson::kParseErrorStringInvalidEncoding)};
  }
  if (refused) {
    throw ParseError("parse error at offset " + std::to_string(refused->offset) + ": " +
                     refused->reason);
  }
  return parsed;
}

}  // namespace tarn::channel
