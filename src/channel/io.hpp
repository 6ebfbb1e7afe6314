#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tarn::channel {

// Reads what `fd` has, at least one byte unless it is at its end (then 0). Waits on a
// non-blocking descriptor; a read error is thrown as a platform error.
std::size_t readSome(int fd, std::span<std::uint8_t> into);

// Writes all of `bytes`, however many writes it takes; gives up silently when `fd` refuses them.
void writeAll(int fd, std::string_view bytes);

}  // namespace tarn::channel
