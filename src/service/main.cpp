#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "service/calls.hpp"
#include "service/deadline.hpp"
#include "service/door.hpp"
#include "service/peer.hpp"
#include "service/service_secret.hpp"
#include "wire/wire.hpp"

namespace {

using namespace tarn;

// What the door hands a worker: the connection, and at 4 the uid's slot it holds until it ends.
constexpr int connection = 3;
// The listening socket a socket unit with Accept=no hands the door.
constexpr int listener = 3;
// A command that says nothing this long after connecting is not one of ours.
constexpr std::chrono::seconds callLimit{10};

void harden() {
  if (int null = ::open("/dev/null", O_RDWR); null >= 0) {
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    if (null > 2) ::close(null);
  }
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  ::signal(SIGPIPE, SIG_IGN);
}

int serve() {
  service::setLastWordTo(connection);
  wire::Link link{Descriptor(connection)};
  try {
    const service::Peer peer = service::Peer::of(connection);
    auto call = link.receive(wire::Clock::now() + callLimit);
    if (!call) return 0;
    auto reply = service::answer(link, peer, call->message);
    if (reply) link.send(*reply);
    return 0;
  } catch (const std::exception& error) {
    // A refusal written is a handled end; only a reply that could not go out is a failure.
    try {
      link.send(wire::Writer().text("error", error.what()).finish());
      return 0;
    } catch (...) {
      return 1;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Run once at install time by an administrator, who is told what went wrong.
  if (argc == 2 && std::string_view(argv[1]) == "--make-secret") {
    try {
      service::makeSecret();
      return 0;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "tarn-wemb-custody: %s\n", error.what());
      return 1;
    }
  }
  harden();
  if (argc == 2 && std::string_view(argv[1]) == "--worker") return serve();
  if (argc != 1) return 2;
  try {
    service::keepDoor(listener, argv[0]);
  } catch (const std::exception&) {
    // systemd starts the door again; the workers it started finish on their own.
    return 1;
  }
}
