#include "service/directories.hpp"

#include <cstdlib>
#include <string_view>

namespace tarn::service {
namespace {

// The directory systemd names in `variable`, else `fallback`.
std::string named(const char* variable, std::string_view fallback) {
  const char* value = std::getenv(variable);
  const std::string_view list = value != nullptr && *value != '\0' ? value : fallback;
  // systemd lists one path per directory setting, separated by colons; the first is ours
  return std::string(list.substr(0, list.find(':')));
}

}  // namespace

std::string stateDirectory() { return named("STATE_DIRECTORY", "/var/lib/tarn-wemb"); }

std::string runtimeDirectory() { return named("RUNTIME_DIRECTORY", "/run/tarn-wemb"); }

}  // namespace tarn::service
