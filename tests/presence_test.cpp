// The PAM child's bounds, which a row could show only after the prompt's two minutes: a question
// nobody answers, and a child its peer has stopped.
#include "service/presence.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

namespace tarn::service {
namespace {

using namespace std::chrono_literals;

// pam_unix asks "nobody" for a password that never comes.
const Peer nobody{65534, 65534, "nobody", true};

struct Linked {
  wire::Link service, command;
};

Linked linked() {
  int pair[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  return {wire::Link(Descriptor(pair[0])), wire::Link(Descriptor(pair[1]))};
}

pid_t onlyChild() {
  pid_t child = -1;
  std::ifstream("/proc/self/task/" + std::to_string(::getpid()) + "/children") >> child;
  return child;
}

TEST(Presence, AQuestionWaitsOutTheLimitAndNoMore) {
  Linked ends = linked();
  PresenceCheck check(ends.service, nobody, 1s);
  const auto began = wire::Clock::now();
  EXPECT_EQ(check.run(), Verdict::late);
  // the child's own bound, not the parent's kill a few seconds later
  EXPECT_LT(wire::Clock::now() - began, 4s);
  ASSERT_TRUE(ends.command.receive(std::nullopt)->message.prompting);
  EXPECT_TRUE(ends.command.receive(std::nullopt)->message.ask);
}

TEST(Presence, AStoppedChildIsKilledAndReaped) {
  Linked ends = linked();
  PresenceCheck check(ends.service, nobody, 1s);
  const pid_t child = onlyChild();
  ASSERT_GT(child, 0);
  ASSERT_EQ(::kill(child, SIGSTOP), 0);
  ::alarm(30);  // a parent that waits on its child without end fails here
  EXPECT_EQ(check.run(), Verdict::late);
  ::alarm(0);
  EXPECT_NE(::kill(child, 0), 0);
}

}  // namespace
}  // namespace tarn::service
