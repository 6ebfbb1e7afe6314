#pragma once

#include <string>

#include "channel/channel.hpp"

namespace tarn::app {

// What start-up fixes for the rest of the run.
struct Invocation {
  std::string directory;  // the store directory
};

using Command = channel::Reply (*)(const Invocation&);

channel::Reply status(const Invocation& invocation);
channel::Reply seal(const Invocation& invocation);
channel::Reply open(const Invocation& invocation);
channel::Reply verify(const Invocation& invocation);

inline constexpr std::string_view usage = "usage: tarn-wemb status|seal|open|verify [--dir path]";

}  // namespace tarn::app
