#pragma once

#include <cstddef>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "base/secret.hpp"

namespace tarn::channel {

inline constexpr std::size_t maxRequest = 8'388'608;
inline constexpr std::size_t maxItems = 5000;
inline constexpr std::size_t maxDescription = 300;  // user-perceived characters

// Requests and replies carry plaintexts, so every string and node lives in wiping memory.
using Json = nlohmann::basic_json<std::map, std::vector, SecretString, bool, std::int64_t,
                                  std::uint64_t, double, CleansingAllocator>;

// The request object read from `fd` to its end; empty input is an empty object.
Json input(int fd = 0);

// The value of one request key as a list of strings; Failure "items" otherwise.
// `value` is null when the key is absent.
std::vector<std::string_view> strings(const Json* value);

struct Reply {
  Json body;
  int code = 0;
};

// The reply for an error that escaped a command.
Reply errorReply(const std::exception& error);

// Writes the reply as one compact JSON line to `fd`.
void reply(const Reply& reply, int fd = 1);

// A platform error's description as an error reply carries it: valid UTF-8, at most
// maxDescription user-perceived characters.
SecretString description(std::string_view text);

}  // namespace tarn::channel
