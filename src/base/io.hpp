#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace tarn {

// Reads what `fd` has, at least one byte unless it is at its end (then 0). Waits on a
// non-blocking descriptor; a read error is thrown as a platform error.
std::size_t readSome(int fd, std::span<std::uint8_t> into);

// Writes all of `bytes`, however many writes it takes, waiting on a non-blocking descriptor.
// False, with errno set, when `fd` refuses them.
bool writeAll(int fd, std::string_view bytes);

// Owns one open file descriptor and closes it once.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_;
};

}  // namespace tarn
