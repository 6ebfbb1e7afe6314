#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarn::envelope {

// First byte of every envelope and the whole of the AES-GCM associated data.
inline constexpr std::uint8_t version = 1;

// HKDF salt: the bytes of "tarn-wemb-v1", no terminator.
inline constexpr std::array<std::uint8_t, 12> salt = {'t', 'a', 'r', 'n', '-', 'w',
                                                      'e', 'm', 'b', '-', 'v', '1'};

inline constexpr std::size_t pointSize = 65;
inline constexpr std::size_t nonceSize = 12;
inline constexpr std::size_t tagSize = 16;
// version + ephemeral point + nonce + tag; the ciphertext adds as many bytes as the text has.
inline constexpr std::size_t overhead = 1 + pointSize + nonceSize + tagSize;
// The smallest envelope, the empty text's: GCM authenticates it like any other.
inline constexpr std::size_t minimumSize = overhead;

}  // namespace tarn::envelope
