#pragma once
// Buffer and byte-array operations of the tag readers, and UTF-16 helpers.
//
// The buffer functions never read outside `buffer`: a range that reaches past its end is cut at
// the end, one that starts outside gives an empty result. Stateless, thread-safe, never throw.

#include "tags/unicode_def_unit.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// A copy of `length` bytes from `index`; empty if index < 0 or length < 1.
TBytes BufToBytes(std::span<const std::uint8_t> buffer, std::int64_t index, std::int64_t length);

// DecodeText of the bytes at index..index+length; empty if index < 0 or length <= 0.
std::string BufToString(std::span<const std::uint8_t> buffer, std::int64_t index,
                        std::int64_t length, int codepage);

// One character per byte (ISO-8859-1), as UTF-8; empty if index < 0 or length <= 0.
std::string BufToRawString(std::span<const std::uint8_t> buffer, std::int64_t index,
                           std::int64_t length);

// ISO-8859-1 bytes to UTF-8.
std::string Latin1ToUtf8(std::span<const std::uint8_t> bytes);

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// Strict UTF-8 check: overlong forms, surrogates and truncated sequences are invalid.
bool IsValidUtf8(std::string_view utf8);

// Length of a UTF-8 text in UTF-16 code units (characters above U+FFFF count twice). Invalid
// UTF-8 sequences count one unit per byte.
std::size_t Utf16Length(std::string_view utf8);

// Conversions between UTF-8 and UTF-16. Invalid input is replaced by U+FFFD, never dropped whole.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
