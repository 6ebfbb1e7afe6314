#pragma once

#include <sys/types.h>

#include <string>

#include "base/io.hpp"

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

// One of a few slots of `uid`, held for as long as the descriptor, or any copy of it, is open,
// so no account can tie up more than a few workers at once. Empty when every one is taken.
Descriptor takeSlot(uid_t uid);

// Throws Failure "busy" when `uid` has made too many keys lately: making keys costs the TPM
// work every account shares.
void limitKeyCreation(uid_t uid);

}  // namespace tarn::service
