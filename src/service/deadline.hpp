#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace tarn::service {

// Where the service's last word goes when a deadline ends the process: the connection's
// descriptor. Until it is set, a deadline ends the process without a word.
void setLastWordTo(int fd);

// While it lives, the process's watcher thread checks that it goes within `limit`; if it has not,
// the watcher writes {"error":WHY} and a NUL byte to the last-word descriptor and ends the process
// with status 1. A plain thread, not a signal: nothing of anyone else's is touched. One watcher
// serves every deadline of a process, so a deadline costs no thread of its own. `why` is read by
// the watcher at any time: it must be a constant of the process, not a temporary. Deadlines may
// nest.
class Deadline {
 public:
  Deadline(std::chrono::seconds limit, const std::string_view& why);
  Deadline(std::chrono::seconds limit, std::string_view&& why) = delete;
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  std::int64_t previousEnd_;
  const std::string_view* previousWhy_;
};

}  // namespace tarn::service
