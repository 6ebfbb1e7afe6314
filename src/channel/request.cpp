#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "base/io.hpp"
#include "channel/channel.hpp"
#include "channel/parse.hpp"

namespace tarn::channel {
namespace {

constexpr std::size_t firstSize = 64 * 1024;
// One byte past the limit tells an over-long request; the padding the reader needs follows.
constexpr std::size_t fullSize = maxRequest + 1 + padding;

// The size to grow a full buffer of `size` bytes to. The last step goes straight to fullSize, so
// a large request is copied at most once at its largest.
std::size_t grown(std::size_t size) {
  std::size_t doubled = std::min(2 * size, fullSize);
  return fullSize - doubled < size ? fullSize : doubled;
}

// A regular file tells its size: read it into one buffer of the right size.
std::size_t firstBuffer(int fd) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    return std::min(static_cast<std::size_t>(st.st_size) + 1 + padding, fullSize);
  }
  return firstSize;
}

// Reads and drops what follows an over-long request, so the writer is not cut off, but gives up
// once maxDrain bytes have come in all: an endless input still gets its reply.
void drain(int fd, SecretBytes& spill, std::size_t read) {
  while (read < maxDrain) {
    std::size_t n = readSome(fd, std::span(spill).first(std::min(spill.size(), maxDrain - read)));
    if (n == 0) return;
    read += n;
  }
}

// The request's bytes to the end of `fd`, followed by the reader's padding. Failure "input" when
// more than maxRequest come.
SecretBytes receive(int fd) {
  SecretBytes text(firstBuffer(fd));
  std::size_t used = 0;
  for (;;) {
    if (used == text.size() - padding) {
      if (text.size() == fullSize) {
        drain(fd, text, used);
        throw Failure("input");
      }
      text.resize(grown(text.size()));  // the allocator wipes the smaller buffer
    }
    std::size_t n = readSome(fd, std::span(text).subspan(used, text.size() - padding - used));
    if (n == 0) break;
    used += n;
  }
  text.resize(used + padding);
  std::fill(text.begin() + static_cast<std::ptrdiff_t>(used), text.end(), 0);
  return text;
}

}  // namespace

const std::vector<std::string_view>& Request::items() const {
  if (!itemsUsable_) throw Failure("items");
  return items_;
}

Request input(int fd) {
  Request request;
  request.text_ = receive(fd);
  std::size_t size = request.text_.size() - padding;
  if (size == 0) return request;
  Parsed parsed = parse(reinterpret_cast<char*>(request.text_.data()), size);
  if (parsed.array) throw Failure("input");
  request.items_ = std::move(parsed.items);
  request.itemsUsable_ = parsed.itemsUsable;
  request.reason_ = parsed.reason;
  return request;
}

}  // namespace tarn::channel
