#include "service/calls.hpp"

#include <array>
#include <chrono>
#include <utility>

#include "base/failure.hpp"
#include "service/key.hpp"
#include "service/log.hpp"
#include "service/presence.hpp"
#include "service/service_secret.hpp"
#include "service/tpm.hpp"

namespace tarn::service {
namespace {

using Call = std::optional<SecretString> (*)(wire::Link&, const Peer&, const wire::Message&);

void expect(const wire::Message& call, std::initializer_list<std::string_view> members) {
  if (call.present != wire::mask(members)) throw wire::ProtocolError("members not of this call");
}

// A call that prompts may name the program that asks, which the log keeps beside the verdict.
std::string_view expectAsking(const wire::Message& call,
                              std::initializer_list<std::string_view> members) {
  if ((call.present & ~wire::mask({"asker"})) != wire::mask(members)) {
    throw wire::ProtocolError("members not of this call");
  }
  const std::string_view asker = call.asker.value_or("");
  if (asker.size() > wire::maxAsker) throw wire::ProtocolError("an asker too long");
  return asker;
}

void requireCommand(const Peer& peer) {
  if (!peer.command) {
    throw Failure("the custody service asks for presence only for the installed tarn-wemb command");
  }
}

std::vector<std::uint8_t> keyFile(const wire::Message& call) {
  auto bytes = wire::decoded(*call.key);
  if (!bytes) throw wire::ProtocolError("a key that is not Base64");
  return {bytes->begin(), bytes->end()};
}

Point point(std::string_view text) {
  auto point = wire::decodedPoint(text);
  if (!point) throw wire::ProtocolError("a point that is not an uncompressed P-256 point");
  return *point;
}

// What the user's answer to PAM means to the command.
std::string_view outcome(Verdict verdict) {
  switch (verdict) {
    case Verdict::present:
      return "present";
    case Verdict::denied:
      return "denied";
    case Verdict::gone:
      return "cancelled";
    case Verdict::late:
      return "timed out";
    default:
      return "failed";
  }
}

// Asks PAM through the child; throws unless the user is present. Nothing when the command left.
bool confirm(PresenceCheck& check, const Peer& peer, std::string_view call, std::size_t items,
             std::string_view asker) {
  const Verdict verdict = check.run();
  record(peer, call, items, outcome(verdict), asker);
  if (verdict == Verdict::present) return true;
  if (verdict == Verdict::gone) return false;
  // the command takes its dialog down on this word and tells its caller "cancelled"
  if (verdict == Verdict::late) throw Failure(std::string(wire::timedOut));
  throw Failure("denied");
}

std::optional<SecretString> status(wire::Link&, const Peer&, const wire::Message& call) {
  expect(call, {"call"});
  return wire::Writer().flag("tpm", Tpm().isAvailable()).finish();
}

std::optional<SecretString> create(wire::Link&, const Peer& peer, const wire::Message& call) {
  expect(call, {"call"});
  limitKeyCreation(peer.uid);
  const ServiceSecret secret = ServiceSecret::read();
  Tpm tpm;
  const MadeKey made = makeKey(tpm, secret, peer.uid);
  record(peer, "create", 0, "made");
  return wire::Writer()
      .text("key", wire::encoded(made.file))
      .text("point", wire::encoded(made.point))
      .finish();
}

std::optional<SecretString> check(wire::Link&, const Peer& peer, const wire::Message& call) {
  expect(call, {"call", "key"});
  const ServiceSecret secret = ServiceSecret::read();
  Tpm tpm;
  const UsableKey key = loadKey(tpm, keyFile(call), secret, peer.uid);
  return wire::Writer().text("point", wire::encoded(key.point())).finish();
}

std::optional<SecretString> presence(wire::Link& link, const Peer& peer,
                                     const wire::Message& call) {
  const std::string_view asker = expectAsking(call, {"call"});
  requireCommand(peer);
  PresenceCheck check(link, peer, wire::promptLimit);
  if (!confirm(check, peer, "presence", 0, asker)) return std::nullopt;
  return wire::Writer().flag("done", true).finish();
}

std::optional<SecretString> agree(wire::Link& link, const Peer& peer, const wire::Message& call) {
  const std::string_view asker = expectAsking(call, {"call", "key", "points"});
  requireCommand(peer);
  const std::vector<std::uint8_t> file = keyFile(call);
  std::vector<Point> points;
  points.reserve(call.points->size());
  for (std::string_view text : *call.points) points.push_back(point(text));
  // Forked before the secret is read; then the key is proven usable, and nothing of it stays
  // loaded while the user takes their time.
  PresenceCheck presence(link, peer, wire::promptLimit);
  const ServiceSecret secret = ServiceSecret::read();
  {
    Tpm tpm;
    loadKey(tpm, file, secret, peer.uid);
  }
  if (!confirm(presence, peer, "agree", points.size(), asker)) return std::nullopt;
  Tpm tpm;
  UsableKey key = loadKey(tpm, file, secret, peer.uid);
  std::vector<SecretString, CleansingAllocator<SecretString>> secrets;
  secrets.reserve(points.size());
  for (const Point& peerPoint : points) secrets.push_back(wire::encoded(key.agree(peerPoint)));
  return wire::Writer().text("point", wire::encoded(key.point())).list("secrets", secrets).finish();
}

constexpr std::array<std::pair<std::string_view, Call>, 5> calls = {{
    {"status", status},
    {"create", create},
    {"check", check},
    {"presence", presence},
    {"agree", agree},
}};

}  // namespace

std::optional<SecretString> answer(wire::Link& link, const Peer& peer, const wire::Message& call) {
  if (call.call) {
    for (const auto& [name, handler] : calls) {
      if (*call.call == name) return handler(link, peer, call);
    }
  }
  throw wire::ProtocolError("no such call");
}

}  // namespace tarn::service
