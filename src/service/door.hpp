#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <vector>

namespace tarn::service {

// The order in which the door serves a batch of connections from `uids`, as indexes into it:
// each account's first connection, then each one's second, and so on, so that a flood of one
// account waits behind one connection of every other.
std::vector<std::size_t> inTurn(std::span<const uid_t> uids);

// The custody service's front door on the listening socket `listener`, for as long as it runs:
// it admits a connection only while the peer's uid has a free slot and starts left, taking
// accounts in turn, and hands each admitted connection to a worker, the program `worker` run
// anew with the connection as its fd 3 and the slot as its fd 4. Everything else is answered
// busy. It reads no secret, opens no TPM and runs no PAM. Returns only by throwing.
[[noreturn]] void keepDoor(int listener, const char* worker);

}  // namespace tarn::service
