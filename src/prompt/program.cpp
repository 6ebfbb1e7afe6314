#include "prompt/program.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <vector>

namespace tarn::prompt {
namespace {

constexpr int maxLinks = 40;  // as many as the kernel follows in one path

// Root's, and changeable by root alone: the password goes to whatever runs from here.
bool rootOnly(const struct stat& st) {
  return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The command is setgid, where secure_getenv says nothing: the caller's own PATH is wanted.
std::string searchPath() {
  const char* value = std::getenv("PATH");
  std::string path = value != nullptr ? value : "";
  if (path.empty()) {
    path.resize(::confstr(_CS_PATH, nullptr, 0));
    ::confstr(_CS_PATH, path.data(), path.size());
    path.resize(path.find('\0'));
  }
  return path;
}

void prepend(std::deque<std::string>& components, std::string_view text) {
  std::vector<std::string> found;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = std::min(text.find('/', start), text.size());
    std::string_view component = text.substr(start, end - start);
    if (!component.empty() && component != ".") found.emplace_back(component);
    start = end + 1;
  }
  components.insert(components.begin(), found.begin(), found.end());
}

std::string child(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// `candidate` resolved a component at a time, as the kernel would, every directory passed
// through judged; its real path when it leads to a program only root can change.
std::optional<std::string> rootsProgram(const std::string& candidate) {
  struct stat st;
  if (::lstat("/", &st) != 0 || !rootOnly(st)) return std::nullopt;
  std::deque<std::string> rest;
  prepend(rest, candidate);
  std::string at = "/";  // a real path, every directory in it judged
  for (int links = 0; !rest.empty();) {
    std::string component = std::move(rest.front());
    rest.pop_front();
    if (component == "..") {
      at.resize(std::max<std::size_t>(at.find_last_of('/'), 1));
      continue;
    }
    std::string next = child(at, component);
    if (::lstat(next.c_str(), &st) != 0) return std::nullopt;
    if (S_ISLNK(st.st_mode)) {
      // the link sits in a directory only root can change: root chose where it leads
      char target[PATH_MAX];
      ssize_t n = ::readlink(next.c_str(), target, sizeof target);
      if (++links > maxLinks || n <= 0 || static_cast<std::size_t>(n) == sizeof target) {
        return std::nullopt;
      }
      if (target[0] == '/') at.assign(1, '/');
      prepend(rest, std::string_view(target, static_cast<std::size_t>(n)));
      continue;
    }
    if (!rootOnly(st)) return std::nullopt;
    if (rest.empty()) {
      if (S_ISREG(st.st_mode) && ::access(next.c_str(), X_OK) == 0) return next;
      return std::nullopt;
    }
    if (!S_ISDIR(st.st_mode)) return std::nullopt;
    at = std::move(next);
  }
  return std::nullopt;  // it ended on a directory
}

}  // namespace

std::optional<std::string> pinentryProgram() {
  const std::string path = searchPath();
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find(':', start), path.size());
    std::string dir = path.substr(start, end - start);
    start = end + 1;
    // Only absolute entries: an empty or relative one would look in the working directory.
    if (dir.empty() || dir.front() != '/') continue;
    if (auto program = rootsProgram(dir + "/pinentry")) return program;
  }
  return std::nullopt;
}

}  // namespace tarn::prompt
