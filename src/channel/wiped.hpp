#pragma once

#include <openssl/crypto.h>

#include <new>
#include <utility>

namespace tarn::channel {

// Holds a library object whose inline buffers we cannot reach (the JSON lexer's last short
// string) and wipes its bytes once it is destroyed. Memory the object allocated itself with the
// standard allocator (the lexer's raw copy of each token) is beyond it.
template <typename T>
class Wiped {
 public:
  template <typename... Args>
  explicit Wiped(Args&&... args) : object_(new (storage_) T(std::forward<Args>(args)...)) {}
  ~Wiped() {
    object_->~T();
    OPENSSL_cleanse(storage_, sizeof storage_);
  }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;

  T* operator->() { return object_; }
  T& operator*() { return *object_; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
  T* object_;
};

}  // namespace tarn::channel
