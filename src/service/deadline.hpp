#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tarn::service {

// Where the service's last word goes when a deadline ends the process: the connection's
// descriptor. Until it is set, a deadline ends the process without a word.
void setLastWordTo(int fd);

// While it lives, a watcher thread waits for it to go; if it has not gone within `limit`, the
// watcher writes {"error":WHY} and a NUL byte to the last-word descriptor and ends the process
// with status 1. A plain thread, not a signal: nothing of anyone else's is touched.
class Deadline {
 public:
  Deadline(std::chrono::seconds limit, std::string_view why);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  void watch(std::chrono::steady_clock::time_point end);

  std::string why_;
  std::mutex mutex_;
  std::condition_variable gone_;
  bool done_ = false;
  std::thread watcher_;
};

}  // namespace tarn::service
