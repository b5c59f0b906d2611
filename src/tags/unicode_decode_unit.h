#pragma once
// Bytes to text in a given code page. Stateless, thread-safe, never throws.

#include "tags/unicode_def_unit.h"

#include <cstdint>
#include <span>
#include <string>

// Decodes `bytes` in `codepage` to UTF-8.
// codepage >= 1: that code page; a byte-order mark is kept as a character.
// codepage <= 0: FF FE = UTF-16LE, FE FF = UTF-16BE, EF BB BF = UTF-8 (mark removed);
//                without a mark the ANSI code page (Windows-1252).
// An unknown code page or undecodable bytes give an empty text. A trailing odd byte of UTF-16
// data is ignored.
std::string DecodeText(std::span<const std::uint8_t> bytes, int codepage);
