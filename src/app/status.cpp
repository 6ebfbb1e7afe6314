#include <sys/stat.h>

#include "app/command.hpp"
#include "service/tpm.hpp"

namespace tarn::app {

// Looks, never touches: no standard input, nothing created, no failure.
channel::Reply status(const Invocation& invocation) {
  bool enclave = service::Tpm().isAvailable();
  struct stat st;
  bool key = ::stat(invocation.keyFile.c_str(), &st) == 0;
  channel::Reply reply("key", key);
  reply.add("secureEnclave", enclave);
  return reply;
}

}  // namespace tarn::app
