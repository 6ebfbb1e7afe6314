#include "app/request.hpp"

#include "base/text.hpp"

namespace tarn::app {

SecretString reason(const channel::Request& request) {
  std::string_view cut = graphemes(request.reason().value_or(defaultReason), maxReason);
  SecretString text = secretString(cut.size());
  text.assign(cut);
  return text;
}

}  // namespace tarn::app
