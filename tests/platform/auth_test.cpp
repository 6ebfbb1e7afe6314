#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <semaphore>

#include "platform/auth_context.hpp"
#include "platform/password_check.hpp"
#include "support/account.hpp"
#include "support/process.hpp"
#include "support/prompt.hpp"

namespace tarn::test {
namespace {

using platform::AuthError;
namespace code = platform::auth_code;

// How the process that runs the code under test is set up.
struct Child {
  std::map<std::string, std::optional<std::string>> env;
  std::optional<uid_t> uid;
  std::optional<gid_t> gid;
  bool terminal = false;  // a fresh pseudo-terminal as the controlling terminal
};

std::string pinentryDir() {
  std::string program = TARN_TEST_PINENTRY;
  return program.substr(0, program.rfind('/'));
}

// Runs `body` in a child process of its own session (so no controlling terminal unless
// `setup.terminal`), as the given account, and returns what it wrote; a hang ends in SIGALRM.
std::string inChild(const Child& setup, const std::function<std::string()>& body) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(60);
    ::setsid();
    if (setup.terminal) {
      int master = ::posix_openpt(O_RDWR);
      if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) ::_exit(2);
      // A session leader without a terminal takes the first one it opens as its own.
      if (::open(::ptsname(master), O_RDWR) < 0) ::_exit(2);
    }
    for (const auto& [name, value] : setup.env) {
      value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
    if (setup.gid && (::setgroups(0, nullptr) != 0 || ::setgid(*setup.gid) != 0)) ::_exit(2);
    if (setup.uid && ::setuid(*setup.uid) != 0) ::_exit(2);
    std::string out = body();
    if (::write(pipe[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) ::_exit(3);
    ::_exit(0);
  }
  ::close(pipe[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    out += " [child status " + std::to_string(status) + "]";
  return out;
}

std::string describe(std::exception_ptr error) {
  if (!error) return "no error";
  try {
    std::rethrow_exception(error);
  } catch (const AuthError& e) {
    return "AuthError " + std::to_string(e.code);
  } catch (const std::exception& e) {
    return "other";
  }
  return "other";
}

// canEvaluatePolicy, then one evaluation, as one line: "can=0|1 (why); replies=N; outcome".
std::string evaluation(const std::string& reason) {
  auto context = platform::newAuthContext();
  std::optional<AuthError> missing;
  bool can = context->canEvaluatePolicy(platform::deviceOwnerAuthentication, missing);
  std::string out = "can=" + std::to_string(can) + " (" + (missing ? missing->what() : "") + ")";
  std::atomic<int> replies = 0;
  bool success = false;
  std::exception_ptr error;
  std::binary_semaphore done(0);
  context->evaluatePolicy(platform::deviceOwnerAuthentication, reason,
                          [&](bool ok, std::exception_ptr e) {
                            success = ok;
                            error = e;
                            ++replies;
                            done.release();
                          });
  done.acquire();
  bool evaluated = context->evaluated();
  context.reset();  // joins the prompt's thread: a second reply would have come by now
  return out + "; replies=" + std::to_string(replies) + "; " +
         (success ? "success" : describe(error)) + (evaluated ? ", evaluated" : "");
}

// The set-up of a prompt showing `shown`, then `steps`: G GETPIN, E SETERROR, B BYE.
std::vector<std::string> prompt(const std::string& shown, std::string_view steps) {
  std::vector<std::string> commands = {"SETTITLE tarn-wemb", "SETDESC " + shown,
                                       "SETPROMPT Password:"};
  for (char step : steps) {
    commands.push_back(step == 'G' ? "GETPIN " : step == 'E' ? "SETERROR Wrong password" : "BYE ");
  }
  return commands;
}

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

const std::string success = "can=1 (); replies=1; success, evaluated";
const std::string cancelled = "can=1 (); replies=1; AuthError -2";
const std::string failed = "can=1 (); replies=1; AuthError -1";
const std::string broken = "can=1 (); replies=1; other";
const std::string why = "Notes wants to open 3 items";

TEST(AuthContext, PromptsWithTheReasonAndLetsPamDecide) {
  const Account* account = Account::shared();
  if (account == nullptr) GTEST_SKIP() << "needs root to create a throwaway account";
  const std::string right = "pin:" + account->password;
  const std::string ellipsis = "\xE2\x80\xA6";
  const std::string escapes =
      "50% done\r\nline two\tend \xE2\x9C\x93 Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 \xF0\x9F\x94\x90";
  struct Case {
    std::string name;
    std::vector<std::string> answers;
    std::string outcome;
    std::vector<std::string> commands;
    std::string reason = why, exitAt = "";
    std::map<std::string, std::optional<std::string>> env = {};
  };
  const std::vector<Case> cases = {
      {"reason with escapes and non-ASCII", {right}, success, prompt(escapes, "GB"), escapes},
      {"reason too long for one line is cut at a character",
       {right},
       success,
       prompt(repeat("\xC3\xA9", 494) + ellipsis, "GB"),
       repeat("\xC3\xA9", 2000)},
      {"long reason cut between escapes",
       {right},
       success,
       prompt(repeat("%", 329) + ellipsis, "GB"),
       repeat("%", 400)},
      {"terminal named by GPG_TTY",
       {right},
       success,
       {"OPTION ttyname=/dev/tarn-tty", "OPTION ttytype=tarn-term", "SETTITLE tarn-wemb",
        "SETDESC " + why, "SETPROMPT Password:", "GETPIN ", "BYE "},
       why,
       "",
       {{"GPG_TTY", "/dev/tarn-tty"}, {"TERM", "tarn-term"}}},
      {"fully cancelled", {"fully-cancel"}, cancelled, prompt(why, "GB")},
      {"empty passwords", {"pin:"}, failed, prompt(why, "GEGEGB")},
      {"wrong then cancel", {"pin:nope", "cancel"}, cancelled, prompt(why, "GEGB")},
      {"reply that is not Assuan", {"garbage"}, broken, prompt(why, "GB")},
      {"exits instead of a password", {"exit"}, broken, prompt(why, "G")},
      {"exits before its greeting", {right}, broken, {}, why, "greeting"},
      {"exits at the description",
       {right},
       broken,
       {"SETTITLE tarn-wemb", "SETDESC " + why},
       why,
       "SETDESC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prompt stand_in(c.answers);
    Child setup{stand_in.env(), account->uid, account->gid};
    setup.env["TARN_TEST_PINENTRY_EXIT_AT"] = c.exitAt;
    for (const auto& [name, value] : c.env) setup.env[name] = value;
    EXPECT_EQ(inChild(setup, [&] { return evaluation(c.reason); }), c.outcome);
    EXPECT_EQ(stand_in.records(), c.commands);
  }
}

TEST(AuthContext, CanEvaluateOnlyWithPinentryAPlaceToShowItAndAnAccount) {
  TempDir empty;
  TempDir notExecutable;
  ::close(::open((notExecutable / "pinentry").c_str(), O_CREAT | O_WRONLY, 0644));
  const std::string pinentry = pinentryDir();
  const std::string nothingToRun = "can=0 (no pinentry program on PATH); replies=1; AuthError -5";
  const std::string nowhere =
      "can=0 (no display or terminal to show the prompt on); replies=1; AuthError -1004";
  const std::string prompted = "can=1 (); replies=1; AuthError -2";
  struct Case {
    std::string name;
    std::map<std::string, std::optional<std::string>> env;
    std::string outcome = "can=1 (); replies=1; AuthError -2";  // prompted: the stand-in cancels
    bool terminal = false, unknownAccount = false;
  };
  const std::vector<Case> cases = {
      {"display", {{"DISPLAY", ":1"}}},
      {"wayland", {{"WAYLAND_DISPLAY", "wayland-0"}}},
      {"GPG_TTY", {{"GPG_TTY", "/dev/pts/77"}}},
      {"controlling terminal", {}, prompted, true},
      {"nothing to show it on", {}, nowhere},
      {"empty display variables",
       {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"GPG_TTY", ""}},
       nowhere},
      {"no pinentry on PATH", {{"DISPLAY", ":1"}, {"PATH", empty.path()}}, nothingToRun},
      {"pinentry not executable",
       {{"DISPLAY", ":1"}, {"PATH", notExecutable.path()}},
       nothingToRun},
      {"relative PATH entry", {{"DISPLAY", ":1"}, {"PATH", "."}}, nothingToRun},
      {"no account entry",
       {{"DISPLAY", ":1"}},
       "can=0 (the current user has no account entry); replies=1; AuthError -5",
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.unknownAccount && ::geteuid() != 0) continue;
    Child setup{{{"PATH", pinentry + ":/usr/bin:/bin"},
                 {"DISPLAY", std::nullopt},
                 {"WAYLAND_DISPLAY", std::nullopt},
                 {"GPG_TTY", std::nullopt},
                 {"TARN_TEST_PINENTRY_ANSWERS", "cancel"}},
                std::nullopt,
                std::nullopt,
                c.terminal};
    for (const auto& [name, value] : c.env) setup.env[name] = value;
    if (c.unknownAccount) setup.uid = setup.gid = 3999999;
    EXPECT_EQ(inChild(setup, [&] { return evaluation("why"); }), c.outcome);
  }
}

TEST(AuthContext, AThrowingHandlerEndsNothingAndASecondEvaluationIsRefusedAtOnce) {
  auto twice = [] {
    auto context = platform::newAuthContext();
    std::atomic<int> first = 0, second = 0;
    std::binary_semaphore done(0);
    context->evaluatePolicy(platform::deviceOwnerAuthentication, "why", [&](bool, auto) {
      ++first;
      done.release();
      throw std::runtime_error("the caller's own fault");
    });
    done.acquire();
    std::string outcome;
    context->evaluatePolicy(platform::deviceOwnerAuthentication, "why",
                            [&](bool ok, std::exception_ptr e) {
                              ++second;
                              outcome = ok ? "success" : describe(e);
                            });
    context.reset();
    return std::to_string(first) + " " + std::to_string(second) + " " + outcome;
  };
  Child child;
  child.env = {
      {"PATH", pinentryDir()}, {"DISPLAY", ":1"}, {"TARN_TEST_PINENTRY_ANSWERS", "cancel"}};
  EXPECT_EQ(inChild(child, twice), "1 1 other");
}

TEST(PasswordCheck, RealPamAcceptsOnlyTheAccountsPasswordWhenRunAsThatAccount) {
  const Account* account = Account::shared();
  if (account == nullptr) GTEST_SKIP() << "needs root to create a throwaway account";
  const std::string& password = account->password;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {password, "accepted"},
      {password + "x", "refused"},
      {password.substr(0, password.size() - 1), "refused"},
      {"", "refused"},
      {std::string(password) + '\0', "refused"},
  };
  for (const auto& [attempt, expected] : cases) {
    SCOPED_TRACE(attempt);
    auto check = [&, attempt = attempt] {
      SecretString secret(attempt.begin(), attempt.end());
      return platform::passwordAccepted(account->name, secret) ? "accepted" : "refused";
    };
    EXPECT_EQ(inChild({{}, account->uid, account->gid}, check), expected);
  }
}

TEST(PasswordCheck, AnExpiredAccountIsAnErrorNotAWrongPassword) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a throwaway account";
  Account expired;
  expired.expire();
  auto check = [&] {
    try {
      SecretString secret(expired.password.begin(), expired.password.end());
      return platform::passwordAccepted(expired.name, secret) ? "accepted" : "refused";
    } catch (const std::exception& e) {
      return "error";
    }
  };
  EXPECT_EQ(inChild({{}, expired.uid, expired.gid}, check), "error");
}

}  // namespace
}  // namespace tarn::test
