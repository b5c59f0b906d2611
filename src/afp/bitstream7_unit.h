#pragma once
// 7-bit packing of fingerprint series, the value encoding of the cache records.
//
// Layout: an unsigned 16-bit little-endian count n, then the n values packed 7 bits each, least
// significant bit first (bit j of value k is stream bit 7k + j; stream bit b is bit b mod 8 of
// byte 2 + b div 8), the last byte filled with zero bits. Pure functions, no state: safe from
// any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

// Error raised inside the cache reader and the 7-bit codec; the message is the user text.
class EAfpCacheError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TBitStream7 {
 public:
  // Bytes of the count in front of the packed values.
  static constexpr std::size_t DataOffset = 2;
  static constexpr std::size_t MaxCount = 65535;

  // Bytes an encoding of n values takes: 2 + ceil(7n / 8).
  static constexpr std::size_t EncodedSize(std::size_t n) { return DataOffset + (7 * n + 7) / 8; }

  // Packs the low 7 bits of every byte (the 8th bit is dropped).
  // Raises EAfpCacheError "TBitStream7 Encode() max 65535" for more than 65535 bytes.
  static std::vector<std::uint8_t> Encode(std::span<const std::uint8_t> RawData);
  // Appends the encoding to `out` (no allocation beyond out's growth); same error as Encode.
  static void EncodeAppend(std::span<const std::uint8_t> RawData, std::vector<std::uint8_t>& out);

  // Unpacks the values. Raises EAfpCacheError when EncData is shorter than its count demands.
  static std::vector<std::uint8_t> Decode(std::span<const std::uint8_t> EncData);
  // Non-raising form for the record decoder: false (and `out` empty) when EncData is shorter
  // than its count demands. Reuses out's capacity.
  static bool DecodeInto(std::span<const std::uint8_t> EncData, std::vector<std::uint8_t>& out);
};
