#pragma once

namespace tarn::service {

// The custody service's front door on the listening socket `listener`, for as long as it runs:
// it admits a connection only while the peer's uid has a free slot and starts left, taking
// accounts in turn, and hands each admitted connection to a worker, the program `worker` run
// anew with the connection as its fd 3 and the slot as its fd 4. Everything else is answered
// busy. It reads no secret, opens no TPM and runs no PAM. Returns only by throwing.
[[noreturn]] void keepDoor(int listener, const char* worker);

}  // namespace tarn::service
