#include <algorithm>
#include <utility>

#include "base/io.hpp"
#include "channel/channel.hpp"
#include "channel/parse.hpp"

namespace tarn::channel {
namespace {

// Small requests cost little and a large one is never copied to grow: chunks double up to
// largestChunk and together never hold more than maxRequest bytes.
constexpr std::size_t firstChunk = 16 * 1024;
constexpr std::size_t largestChunk = 1024 * 1024;

struct Received {
  std::vector<SecretBytes> chunks;  // the bytes in order, each chunk full but the last
  std::size_t size = 0;
  bool tooLong = false;  // more than maxRequest bytes came; none of them were kept
};

Received receive(int fd) {
  Received in;
  std::size_t used = 0;  // of the last chunk
  while (in.size < maxRequest) {
    if (in.chunks.empty() || used == in.chunks.back().size()) {
      std::size_t grown = in.chunks.empty() ? firstChunk : 2 * in.chunks.back().size();
      in.chunks.emplace_back(std::min({grown, largestChunk, maxRequest - in.size}));
      used = 0;
    }
    SecretBytes& chunk = in.chunks.back();
    std::size_t n = readSome(fd, std::span(chunk).subspan(used));
    if (n == 0) {
      chunk.resize(used);
      return in;
    }
    used += n;
    in.size += n;
  }
  // The writer is not cut off: whatever follows is read to the end and dropped.
  SecretBytes spill(64 * 1024);
  while (readSome(fd, spill) > 0) {
    if (!in.tooLong) in.chunks.clear();
    in.tooLong = true;
  }
  return in;
}

}  // namespace

Json input(int fd) {
  Received request = receive(fd);
  if (request.tooLong) throw Failure("input");
  if (request.size == 0) return Json::object();
  Json value = parse(std::move(request.chunks));
  if (!value.is_object()) throw Failure("input");
  return value;
}

std::vector<std::string_view> strings(const Json* value) {
  if (value == nullptr || !value->is_array() || value->size() > maxItems) throw Failure("items");
  std::vector<std::string_view> list;
  list.reserve(value->size());
  for (const Json& item : *value) {
    if (!item.is_string()) throw Failure("items");
    list.emplace_back(item.get_ref<const SecretString&>());
  }
  return list;
}

}  // namespace tarn::channel
