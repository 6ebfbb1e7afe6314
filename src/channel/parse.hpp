#pragma once

#include <vector>

#include "channel/channel.hpp"

namespace tarn::channel {

inline constexpr std::size_t maxDepth = 512;  // arrays and objects open at once

// The JSON text held in `chunks`, one after the other, read strictly (RFC 8259, UTF-8 only, the
// first of duplicate keys wins, at most maxDepth levels). Throws a platform error carrying the
// parser's description when the text is not JSON or is a bare scalar; an array is returned as is.
// Each chunk is released as soon as it has been read, so the text and the value it becomes are
// never both whole in memory.
Json parse(std::vector<SecretBytes>&& chunks);

}  // namespace tarn::channel
