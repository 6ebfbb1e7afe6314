#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarn {

// Wipes what it held before handing memory back, so secrets do not linger on the heap.
template <typename T>
struct CleansingAllocator {
  using value_type = T;

  CleansingAllocator() noexcept = default;
  template <typename U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }

  template <typename U>
  bool operator==(const CleansingAllocator<U>&) const noexcept {
    return true;
  }
};

// Shared secrets, derived keys and passwords live only in this type.
using SecretBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

// Texts that are secret (plaintexts, passwords). A short string sits inside the object itself,
// out of the allocator's reach: such an object lives in wiped memory (a JSON node) or was made
// by secretString(), which puts even an empty text on the wiped heap.
using SecretString = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

inline SecretString secretString(std::size_t capacity) {
  SecretString text;
  text.reserve(capacity < 64 ? 64 : capacity);
  return text;
}

}  // namespace tarn
