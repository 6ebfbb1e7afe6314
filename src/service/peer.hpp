#pragma once

#include <sys/types.h>

#include <string>

namespace tarn::service {

// Who is at the other end of the connection, in the kernel's words alone.
struct Peer {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;      // the account's name
  bool command = false;  // the installed command: its group is tarn-wemb

  // The peer of the connected socket `fd`. Throws Failure for a peer with no account entry.
  static Peer of(int fd);
};

// Holds one of a few slots of the peer's uid while it lives, so no account can tie up more than
// a few service processes at once.
class Slot {
 public:
  // A free slot, or Failure "busy" when every one is taken.
  explicit Slot(uid_t uid);
  ~Slot();
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

 private:
  int fd_ = -1;
};

// Throws Failure "busy" when `uid` has made too many keys lately: making keys costs the TPM
// work every account shares.
void limitKeyCreation(uid_t uid);

}  // namespace tarn::service
