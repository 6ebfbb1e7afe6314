#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "wire/wire.hpp"

namespace tarn::wire {

void Link::send(const SecretString& message) {
  std::string_view bytes(message);
  while (!bytes.empty()) {
    // MSG_NOSIGNAL: a peer gone away is an error here, never a signal that ends the process
    ssize_t n = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "the custody connection");
    }
  }
}

// Reads what the socket has into the buffer; false when time ran out first.
bool Link::fill(std::optional<Clock::time_point> deadline) {
  if (used_ == buffer_.size()) {
    if (buffer_.size() > maxMessage + padding) throw ProtocolError("a message without its end");
    SecretBytes larger(std::min(buffer_.size() * 2, maxMessage + padding + 2));
    std::copy_n(buffer_.begin(), used_, larger.begin());
    buffer_.swap(larger);  // the allocator wipes the smaller one
  }
  for (;;) {
    int wait = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      wait = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    pollfd watch{socket_.get(), POLLIN, 0};
    int ready = ::poll(&watch, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return false;
    ssize_t n = ::recv(socket_.get(), buffer_.data() + used_, buffer_.size() - used_, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed_ = true;
    } else {
      used_ += static_cast<std::size_t>(n);
    }
    return true;
  }
}

bool Link::pending() {
  if (closed_ || std::memchr(buffer_.data(), 0, used_) != nullptr) return true;
  pollfd watch{socket_.get(), POLLIN, 0};
  return ::poll(&watch, 1, 0) > 0;
}

std::optional<Received> Link::receive(std::optional<Clock::time_point> deadline) {
  for (;;) {
    auto* end = static_cast<std::uint8_t*>(std::memchr(buffer_.data(), 0, used_));
    if (end != nullptr) {
      const std::size_t size = static_cast<std::size_t>(end - buffer_.data());
      Received received{SecretBytes(size + padding, 0), {}};
      std::copy_n(buffer_.begin(), size, received.text.begin());
      std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(size + 1),
                buffer_.begin() + static_cast<std::ptrdiff_t>(used_), buffer_.begin());
      used_ -= size + 1;
      received.message = parse(reinterpret_cast<char*>(received.text.data()), size);
      return received;
    }
    if (used_ > maxMessage)
      throw ProtocolError("a message over " + std::to_string(maxMessage) + " bytes");
    if (closed_) {
      if (used_ != 0) throw ProtocolError("a message cut short");
      return std::nullopt;
    }
    if (!fill(deadline)) throw ProtocolError("no answer in time");
  }
}

}  // namespace tarn::wire
