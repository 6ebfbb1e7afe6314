#include "store/directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "base/account.hpp"
#include "store/error.hpp"

namespace tarn::store {
namespace {

// O_PATH: passing through needs only search permission, as a home that is 0711 allows.
// O_NOFOLLOW: a link is looked at and judged before it is followed, never followed blindly.
constexpr int directoryFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int maxLinks = 40;  // as many as the kernel follows in one path

// HOME when set and not empty, else the account's home directory.
std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (auto account = currentAccount(); account && !account->home.empty()) return account->home;
  // No home anywhere: the root, so the path stays absolute and the run still gets its reply.
  return "/";
}

// Why a directory with this owner and mode cannot be trusted, or nothing when it can.
std::optional<std::string> refusal(const struct stat& st) {
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return "owned by another user";
  // sticky, as /tmp is: others may add names but not take or replace ours
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    return "writable by group or others";
  }
  return std::nullopt;
}

// chmod 0700 of the directory open at `fd`: an O_PATH descriptor takes no fchmod, its /proc name
// does and names no other file.
int protect(int fd) { return ::chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0700); }

OpenDirectory opened(int fd, std::string name) {
  OpenDirectory dir{Descriptor(fd), {}, std::move(name)};
  if (!dir.fd || ::fstat(dir.fd.get(), &dir.st) != 0) {
    throw FileSystemError("cannot open directory", dir.name, errno);
  }
  return dir;
}

// The name of the working directory, or the one `levels` above it, for messages.
std::string ancestorName(std::size_t levels) {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) {
    std::string name = ".";
    for (; levels > 0; --levels) name = name == "." ? ".." : name + "/..";
    return name;
  }
  std::string name = buffer;
  for (; levels > 0 && name != "/"; --levels) {
    auto slash = name.find_last_of('/');
    name.resize(slash == 0 ? 1 : slash);
  }
  return name;
}

// The working directory, each directory above it judged from the root down; ".." by
// descriptor, so a directory renamed meanwhile changes nothing.
OpenDirectory workingDirectory() {
  OpenDirectory cwd = opened(::open(".", directoryFlags), ancestorName(0));
  std::vector<struct stat> above;
  Descriptor up;
  for (int at = cwd.fd.get();;) {
    Descriptor parent(::openat(at, "..", directoryFlags));
    struct stat st;
    if (!parent || ::fstat(parent.get(), &st) != 0) {
      throw FileSystemError("cannot open directory", ancestorName(above.size() + 1), errno);
    }
    const struct stat& below = above.empty() ? cwd.st : above.back();
    if (st.st_dev == below.st_dev && st.st_ino == below.st_ino) break;
    above.push_back(st);
    up = std::move(parent);
    at = up.get();
  }
  for (std::size_t level = above.size(); level > 0; --level) {
    if (auto why = refusal(above[level - 1])) {
      throw FileSystemError("refusing store directory " + ancestorName(level) + ": " + *why);
    }
  }
  return cwd;
}

struct Step {
  std::string component;
  std::string name;  // how messages show the directory this step opens
};

// The components of `text` in front of `steps`, each named `prefix` and the text up to it.
void prepend(std::deque<Step>& steps, const std::string& text, const std::string& prefix) {
  std::vector<Step> found;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    std::string component = text.substr(start, end - start);
    if (!component.empty() && component != ".") {
      found.push_back({std::move(component), prefix + text.substr(0, end)});
    }
    start = end + 1;
  }
  steps.insert(steps.begin(), found.begin(), found.end());
}

std::string linkText(int dir, const Step& step) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlinkat(dir, step.component.c_str(), buffer, sizeof buffer);
  if (n < 0 || static_cast<std::size_t>(n) == sizeof buffer) {
    throw FileSystemError("cannot open directory", step.name, n < 0 ? errno : ENAMETOOLONG);
  }
  return std::string(buffer, static_cast<std::size_t>(n));
}

// A link that the caller or root made stands for its target's components, put in front of the
// rest of `steps`; `at` becomes the root for an absolute target.
void follow(OpenDirectory& at, const Step& step, const struct stat& link, std::deque<Step>& steps,
            int& links) {
  // a link someone else put in a directory they may add to (as /tmp) must not lead us on
  if (link.st_uid != ::geteuid() && link.st_uid != 0) {
    throw FileSystemError("refusing store directory " + step.name +
                          ": a symbolic link owned by another user");
  }
  if (++links > maxLinks) throw FileSystemError("cannot open directory", step.name, ELOOP);
  std::string target = linkText(at.fd.get(), step);
  bool absolute = target.starts_with('/');
  if (absolute) at = opened(::open("/", directoryFlags), "/");
  prepend(steps, target, absolute ? "" : join(at.name, ""));
}

// Opens the directory of `step` inside `at`; made first when missing and `create` says so.
// Invalid when it cannot be opened, with errno saying why.
Descriptor openStep(const OpenDirectory& at, const Step& step, bool create, bool& made) {
  Descriptor next(::openat(at.fd.get(), step.component.c_str(), directoryFlags));
  if (next || errno != ENOENT || !create) return next;
  made = ::mkdirat(at.fd.get(), step.component.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) throw FileSystemError("cannot create directory", step.name, errno);
  return Descriptor(::openat(at.fd.get(), step.component.c_str(), directoryFlags));
}

}  // namespace

std::string join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return "./" + std::string(name);
  if (dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

std::string defaultDirectory() { return join(homeDirectory(), defaultStore); }

void checkDirectory(const struct stat& st, const std::string& name) {
  if (auto why = refusal(st))
    throw FileSystemError("refusing store directory " + name + ": " + *why);
}

std::optional<OpenDirectory> openDirectory(const std::string& given, bool create) {
  const std::string path = given.empty() ? "." : given;
  OpenDirectory at =
      path.front() == '/' ? opened(::open("/", directoryFlags), "/") : workingDirectory();
  std::deque<Step> steps;
  prepend(steps, path, "");
  for (int links = 0; !steps.empty();) {
    Step step = std::move(steps.front());
    steps.pop_front();
    checkDirectory(at.st, at.name);
    bool made = false;
    Descriptor next = openStep(at, step, create, made);
    if (!next) {
      int error = errno;
      struct stat st;
      bool link = (error == ELOOP || error == ENOTDIR) &&
                  ::fstatat(at.fd.get(), step.component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                  S_ISLNK(st.st_mode);
      if (!link && !create) return std::nullopt;
      if (!link) throw FileSystemError("cannot create directory", step.name, error);
      follow(at, step, st, steps, links);
      continue;
    }
    OpenDirectory dir = opened(next.release(), step.name);
    // the umask may have taken bits away; the directory is the owner's alone either way
    if (made && dir.st.st_uid == ::geteuid() &&
        (protect(dir.fd.get()) != 0 || ::fstat(dir.fd.get(), &dir.st) != 0)) {
      throw FileSystemError("cannot protect", dir.name, errno);
    }
    at = std::move(dir);
  }
  at.name = path;
  return at;
}

}  // namespace tarn::store
