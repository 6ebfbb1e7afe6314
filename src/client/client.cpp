#include "client/client.hpp"

#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "base/failure.hpp"
#include "client/conversation.hpp"
#include "prompt/prompt.hpp"

namespace tarn::client {
namespace {

using wire::Clock;
using namespace std::chrono_literals;

constexpr const char* defaultSocket = "/run/tarn-wemb/socket";
// Outside a prompt the service answers within its TPM's deadline; this is past it.
constexpr auto quiet = 45s;
// How long a busy account's runs keep trying for a free service process.
constexpr auto busyFor = 15s;

// With its group (secure-exec) the command takes the installed path alone: an address from the
// caller's environment could lead the typed password to any listener root started. Without it the
// run holds nothing the caller lacks, so tests and sanitizer builds may name their own service.
std::string socketPath() {
  if (::getauxval(AT_SECURE) != 0) return defaultSocket;
  const char* named = std::getenv("TARN_WEMB_SOCKET");
  return named != nullptr && *named != '\0' ? named : defaultSocket;
}

// connect() in the command's group, the one the service answers presence to: the kernel records
// the peer's credentials then. Before and after, the run has the user's own group.
int connectInGroup(int fd, const sockaddr_un& address) {
  gid_t real = 0, effective = 0, saved = 0;
  if (::getresgid(&real, &effective, &saved) != 0 || ::setegid(saved) != 0) {
    throw std::system_error(errno, std::generic_category(), "setegid");
  }
  const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  if (::setegid(effective) != 0) throw std::system_error(errno, std::generic_category(), "setegid");
  // a change of credentials sets dumping back to the system's default
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  errno = error;
  return result;
}

// A connection to the custody service, or nothing when none listens.
std::optional<wire::Link> connect() {
  const std::string path = socketPath();
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) throw std::system_error(errno, std::generic_category(), "socket");
  if (connectInGroup(fd.get(), address) != 0) return std::nullopt;
  // Anyone may listen on a path they can write; only root's service holds the key's secret.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != 0) {
    throw ServiceError("refusing the custody service at " + path + ": not run by root");
  }
  return wire::Link(std::move(fd));
}

// Makes `call` and returns the link with the service's first answer to it. Failure
// "no-secure-enclave" when no service listens; a busy service is asked again for a while.
std::pair<wire::Link, wire::Received> call(const SecretString& message) {
  const auto giveUp = Clock::now() + busyFor;
  for (auto pause = 20ms;; pause = std::min(pause * 2, 500ms)) {
    auto link = connect();
    if (!link) throw Failure("no-secure-enclave");
    try {
      link->send(message);
    } catch (const std::system_error&) {
      // a busy service answers before it reads a long call, and goes: what it said is there
    }
    auto first = link->receive(Clock::now() + quiet);
    if (!first) throw ServiceError("the custody service ended without an answer");
    const bool busy = first->message.error && *first->message.error == "busy";
    if (!busy || Clock::now() + pause > giveUp) return {std::move(*link), std::move(*first)};
    std::this_thread::sleep_for(pause);
  }
}

// The service's refusal, if `answer` is one.
void refused(const wire::Message& answer) {
  if (answer.error) throw ServiceError(std::string(*answer.error));
}

Point pointOf(std::optional<std::string_view> text) {
  auto point = text ? wire::decodedPoint(*text) : std::nullopt;
  if (!point) throw wire::ProtocolError("not a point");
  return *point;
}

// The whole authentication through pinentry, `request` then naming the program that asks; the
// service's last message when it succeeds.
wire::Received authenticate(wire::Writer request, const SecretString& reason) {
  prompt::Setup setup;
  try {
    setup = prompt::setup();
  } catch (const prompt::PromptUnavailable& missing) {
    throw Failure(std::string("no-authentication: ") + missing.what());
  }
  auto [link, first] = call(request.text("asker", setup.asker).finish());
  refused(first.message);
  const auto deadline = Clock::now() + wire::promptLimit;
  Conversation conversation(std::move(link), std::move(first));
  try {
    prompt::converse(setup, reason, conversation, deadline);
  } catch (const prompt::PromptCancelled&) {
    throw Failure("cancelled");
  } catch (const ServiceGone& gone) {
    throw Failure(std::string("no-authentication: ") + gone.what());
  } catch (const ServiceError& refusal) {
    const std::string_view said = refusal.what();
    if (said == "denied") throw Failure("denied");
    // the prompt's time ran out: the system cancelled it, as pinentry's own timeout does
    if (said == wire::timedOut) throw Failure("cancelled");
    throw;
  } catch (...) {
    // A pinentry that fails, or a conversation that breaks: the caller learns only no.
    throw Failure("denied");
  }
  return conversation.last();
}

}  // namespace

void requireSecureElement() {
  auto [link, answer] = call(wire::Writer().text("call", "status").finish());
  if (!answer.message.tpm.value_or(false)) throw Failure("no-secure-enclave");
}

bool secureElementAvailable() {
  try {
    requireSecureElement();
    return true;
  } catch (...) {
    return false;
  }
}

NewKey createKey() {
  auto [link, answer] = call(wire::Writer().text("call", "create").finish());
  refused(answer.message);
  auto file = answer.message.key ? wire::decoded(*answer.message.key) : std::nullopt;
  if (!file) throw wire::ProtocolError("no key file");
  return {std::vector<std::uint8_t>(file->begin(), file->end()), pointOf(answer.message.point)};
}

Point checkKey(std::span<const std::uint8_t> file) {
  auto [link, answer] =
      call(wire::Writer().text("call", "check").text("key", wire::encoded(file)).finish());
  refused(answer.message);
  return pointOf(answer.message.point);
}

void confirmPresence(const SecretString& reason) {
  authenticate(std::move(wire::Writer().text("call", "presence")), reason);
}

Agreement agree(std::span<const std::uint8_t> file, std::span<const Point> points,
                const SecretString& reason) {
  std::vector<SecretString, CleansingAllocator<SecretString>> encoded;
  encoded.reserve(points.size());
  for (const Point& point : points) encoded.push_back(wire::encoded(point));
  wire::Received last = authenticate(std::move(wire::Writer()
                                                   .text("call", "agree")
                                                   .text("key", wire::encoded(file))
                                                   .list("points", encoded)),
                                     reason);
  const auto& sent = last.message.secrets;
  if (!sent || sent->size() != points.size()) throw wire::ProtocolError("not a secret per point");
  Agreement agreement{pointOf(last.message.point), {}};
  agreement.secrets.reserve(sent->size());
  for (std::string_view text : *sent) {
    auto secret = wire::decoded(text);
    if (!secret || secret->size() != 32)
      throw wire::ProtocolError("a shared secret of another size");
    agreement.secrets.push_back(std::move(*secret));
  }
  return agreement;
}

}  // namespace tarn::client
