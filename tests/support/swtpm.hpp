#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "support/process.hpp"

namespace tarn::test {

// A private swtpm on a free pair of 127.0.0.1 ports with its own state directory. Tests running
// in parallel each start their own; the state survives stop() and start().
class SwTpm {
 public:
  SwTpm();                   // started
  explicit SwTpm(int port);  // started on exactly this port and the next; throws when taken
  ~SwTpm();
  SwTpm(const SwTpm&) = delete;
  SwTpm& operator=(const SwTpm&) = delete;

  // Starts it again on the same ports and state, which it keeps like a machine's TPM across
  // reboots.
  void start();
  void stop();

  // "swtpm:host=127.0.0.1,port=P", for TARN_WEMB_TCTI and TPM2TOOLS_TCTI.
  std::string tcti() const;
  int port() const { return port_; }

 private:
  bool launch(int port);

  TempDir state_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// What a TPM without a resource manager keeps loaded after its clients have gone.
struct LoadedHandles {
  std::size_t transientObjects = 0;
  std::size_t loadedSessions = 0;
  std::size_t savedSessions = 0;

  bool operator==(const LoadedHandles&) const = default;
};

LoadedHandles loadedHandles(const std::string& tcti);

// A pair of ports P, P+1 on 127.0.0.1 that nothing listens on right now.
int freePortPair();

}  // namespace tarn::test
