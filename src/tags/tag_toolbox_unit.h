#pragma once
// Integer readers for tag and media headers. Stateless, thread-safe, never throw.

#include <cstdint>

// Big-endian 32-bit value with the top bit cleared: never negative.
constexpr std::int32_t ReadBE32(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(b0 & 0x7F) << 24) |
                                   (static_cast<std::uint32_t>(b1) << 16) |
                                   (static_cast<std::uint32_t>(b2) << 8) | b3);
}

constexpr std::uint16_t MakeWord16(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>((high << 8) | low);
}

// Syncsafe integer of ID3v2: 7 bits of each byte, the top bits ignored.
constexpr std::int32_t ReadSyncsafe(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(b0 & 0x7F) << 21) |
                                   (static_cast<std::uint32_t>(b1 & 0x7F) << 14) |
                                   (static_cast<std::uint32_t>(b2 & 0x7F) << 7) | (b3 & 0x7Fu));
}
