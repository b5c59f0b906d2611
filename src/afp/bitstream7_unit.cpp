#include "afp/bitstream7_unit.h"

#include <bit>
#include <cstring>

void TBitStream7::EncodeAppend(std::span<const std::uint8_t> RawData,
                               std::vector<std::uint8_t>& out) {
  const std::size_t n = RawData.size();
  if (n > MaxCount) throw EAfpCacheError("TBitStream7 Encode() max 65535");
  const std::size_t start = out.size();
  out.resize(start + EncodedSize(n), 0);
  std::uint8_t* dst = out.data() + start;
  dst[0] = static_cast<std::uint8_t>(n & 0xFF);
  dst[1] = static_cast<std::uint8_t>(n >> 8);
  dst += DataOffset;
  std::size_t k = 0;
  // Eight values fill exactly seven bytes; pack them through one 64-bit word.
  for (; k + 8 <= n; k += 8) {
    std::uint64_t w = 0;
    for (int j = 0; j < 8; ++j) w |= std::uint64_t(RawData[k + j] & 0x7F) << (7 * j);
    for (int j = 0; j < 7; ++j) dst[j] = static_cast<std::uint8_t>(w >> (8 * j));
    dst += 7;
  }
  std::uint64_t w = 0;
  const std::size_t rest = n - k;
  for (std::size_t j = 0; j < rest; ++j) w |= std::uint64_t(RawData[k + j] & 0x7F) << (7 * j);
  for (std::size_t j = 0; j < (7 * rest + 7) / 8; ++j) dst[j] = static_cast<std::uint8_t>(w >> (8 * j));
}

std::vector<std::uint8_t> TBitStream7::Encode(std::span<const std::uint8_t> RawData) {
  std::vector<std::uint8_t> out;
  EncodeAppend(RawData, out);
  return out;
}

bool TBitStream7::DecodeInto(std::span<const std::uint8_t> EncData, std::vector<std::uint8_t>& out) {
  out.clear();
  if (EncData.size() < DataOffset) return false;
  const std::size_t n = std::size_t(EncData[0]) | (std::size_t(EncData[1]) << 8);
  if (EncodedSize(n) - DataOffset > EncData.size() - DataOffset) return false;
  out.resize(n);
  const std::uint8_t* src = EncData.data() + DataOffset;
  std::uint8_t* dst = out.data();
  std::size_t k = 0;
  // Eight values come from seven bytes. While eight bytes remain, one unaligned 64-bit load
  // replaces seven byte loads (the eighth byte is masked off).
  const std::uint8_t* const end = EncData.data() + EncData.size();
  for (; k + 8 <= n; k += 8) {
    std::uint64_t w = 0;
    if constexpr (std::endian::native == std::endian::little) {
      if (end - src >= 8) {
        std::memcpy(&w, src, 8);
        w &= 0x00FFFFFFFFFFFFFFull;
      } else {
        for (int j = 0; j < 7; ++j) w |= std::uint64_t(src[j]) << (8 * j);
      }
    } else {
      for (int j = 0; j < 7; ++j) w |= std::uint64_t(src[j]) << (8 * j);
    }
    for (int j = 0; j < 8; ++j) dst[k + j] = static_cast<std::uint8_t>((w >> (7 * j)) & 0x7F);
    src += 7;
  }
  const std::size_t rest = n - k;
  std::uint64_t w = 0;
  for (std::size_t j = 0; j < (7 * rest + 7) / 8; ++j) w |= std::uint64_t(src[j]) << (8 * j);
  for (std::size_t j = 0; j < rest; ++j) dst[k + j] = static_cast<std::uint8_t>((w >> (7 * j)) & 0x7F);
  return true;
}

std::vector<std::uint8_t> TBitStream7::Decode(std::span<const std::uint8_t> EncData) {
  std::vector<std::uint8_t> out;
  if (!DecodeInto(EncData, out)) throw EAfpCacheError("TBitStream7 Decode() data too short");
  return out;
}
