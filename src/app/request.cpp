#include "app/request.hpp"

#include "base/text.hpp"

namespace tarn::app {

const channel::Json* lookup(const channel::Json& request, std::string_view key) {
  if (!request.is_object()) return nullptr;
  auto found = request.find(SecretString(key));
  return found == request.end() ? nullptr : &*found;
}

SecretString reason(const channel::Json& request) {
  const channel::Json* value = lookup(request, "reason");
  std::string_view text = defaultReason;
  if (value != nullptr && value->is_string()) {
    const auto& given = value->get_ref<const SecretString&>();
    text = std::string_view(given.data(), given.size());
  }
  std::string_view cut = graphemes(text, maxReason);
  SecretString out = secretString(cut.size());
  out.assign(cut);
  return out;
}

}  // namespace tarn::app
