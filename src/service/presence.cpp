#include "service/presence.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <variant>

#include "base/text.hpp"
#include "service/pam.hpp"

namespace tarn::service {
namespace {

using wire::Clock;

// Far above what a module says; the command fits it to the prompt.
constexpr std::size_t maxSaid = 2048;

SecretString said(std::string_view text) { return repaired(text.substr(0, maxSaid)); }

// Whether `fd` has input (or its end) before `deadline`.
bool readableBy(int fd, Clock::time_point deadline) {
  pollfd watch{fd, POLLIN, 0};
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    int n = ::poll(&watch, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// Relays what PAM asks and says to the command, and the command's answers back.
Verdict converse(wire::Link& link, const Peer& peer, Clock::time_point deadline) {
  PamAuthentication pam(peer.name);
  link.send(wire::Writer().flag("prompting", true).finish());
  for (;;) {
    if (link.pending()) return link.receive(deadline) ? Verdict::failed : Verdict::gone;
    if (!pam.pending()) {
      pollfd watch[2] = {{pam.descriptor(), POLLIN, 0}, {link.descriptor(), POLLIN, 0}};
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return Verdict::late;
      ::poll(watch, 2, static_cast<int>(left.count()));
      continue;
    }
    PamEvent event = pam.next();
    if (auto* question = std::get_if<PamQuestion>(&event)) {
      link.send(wire::Writer()
                    .text("ask", said(question->prompt))
                    .flag("visible", question->visible)
                    .finish());
      // The question waits out the prompt's time, and no longer.
      if (!link.pending() && !readableBy(link.descriptor(), deadline)) return Verdict::late;
      auto reply = link.receive(deadline);
      if (!reply) return Verdict::gone;
      const wire::Message& m = reply->message;
      auto bytes = m.answer ? wire::decoded(*m.answer) : std::nullopt;
      if (bytes && m.present == wire::mask({"answer"})) {
        SecretString answer = secretString(bytes->size());
        answer.assign(bytes->begin(), bytes->end());
        // PAM sees C strings: "right\0anything" must not pass for "right".
        if (answer.find('\0') != SecretString::npos) {
          pam.answer(std::nullopt);
        } else {
          pam.answer(std::move(answer));
        }
      } else if (m.refuse && m.present == wire::mask({"refuse"})) {
        pam.answer(std::nullopt);
      } else {
        return Verdict::failed;
      }
    } else if (auto* message = std::get_if<PamMessage>(&event)) {
      link.send(
          wire::Writer().text("say", said(message->text)).flag("warning", message->error).finish());
    } else if (std::holds_alternative<PamRefused>(event)) {
      link.send(wire::Writer().flag("refused", true).finish());
    } else {
      return std::get<PamFinished>(event).proven ? Verdict::present : Verdict::denied;
    }
  }
}

[[noreturn]] void child(wire::Link& link, const Peer& peer, std::chrono::seconds limit, int go,
                        int verdict) {
  char start = 0;
  Verdict result = Verdict::failed;
  // The parent closes its end without a byte when it will not need us.
  if (::read(go, &start, 1) != 1) ::_exit(0);
  try {
    // pam_rootok and its kind look at the real uid: make it the peer's, so they cannot wave
    // the user through because the service runs as root.
    if (::setresuid(peer.uid, 0, 0) != 0) throw std::system_error(errno, std::generic_category());
    result = converse(link, peer, Clock::now() + limit);
  } catch (...) {
    result = Verdict::failed;
  }
  const char byte = static_cast<char>(result);
  [[maybe_unused]] ssize_t written = ::write(verdict, &byte, 1);
  // A module may still hold a thread of ours; nothing of this process needs tidying.
  ::_exit(0);
}

}  // namespace

PresenceCheck::PresenceCheck(wire::Link& link, const Peer& peer, std::chrono::seconds limit)
    : limit_(limit) {
  int go[2], verdict[2];
  if (::pipe2(go, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  go_.reset(go[1]);
  Descriptor goRead(go[0]);
  if (::pipe2(verdict, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe");
  }
  verdict_.reset(verdict[0]);
  Descriptor verdictWrite(verdict[1]);
  child_ = ::fork();
  if (child_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (child_ == 0) {
    go_.reset();
    verdict_.reset();
    child(link, peer, limit, goRead.get(), verdictWrite.get());
  }
}

PresenceCheck::~PresenceCheck() {
  go_.reset();
  if (child_ > 0) {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
}

Verdict PresenceCheck::run() {
  const char start = 'g';
  if (::write(go_.get(), &start, 1) != 1) return Verdict::failed;
  // A little longer than the child's own bound; but the child runs with the peer's uid, which can
  // stop it, so past this it is killed rather than waited for.
  const auto deadline = Clock::now() + limit_ + std::chrono::seconds(5);
  if (!readableBy(verdict_.get(), deadline)) {
    ::kill(child_, SIGKILL);
    while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    return Verdict::late;
  }
  char byte = 0;
  if (::read(verdict_.get(), &byte, 1) != 1) return Verdict::failed;
  switch (static_cast<Verdict>(byte)) {
    case Verdict::present:
    case Verdict::denied:
    case Verdict::gone:
    case Verdict::late:
      return static_cast<Verdict>(byte);
    default:
      return Verdict::failed;
  }
}

}  // namespace tarn::service
