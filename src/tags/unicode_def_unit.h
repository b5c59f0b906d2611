#pragma once
// Definitions shared by the text conversions: code page numbers and the byte array type.
//
// Inside the program every text is a UTF-8 std::string. Where a format counts characters (tag
// sizes, positions in texts), the count is in UTF-16 code units; see Utf16Length.

#include <cstdint>
#include <vector>

// A growable byte array; empty and missing are the same.
using TBytes = std::vector<std::uint8_t>;

// Code page numbers as tags and callers name them.
inline constexpr int CP_DETECT = 0;       // look for a byte-order mark, else the ANSI code page
inline constexpr int CP_UTF16LE = 1200;
inline constexpr int CP_UTF16BE = 1201;
inline constexpr int CP_ANSI = 1252;      // the single-byte code page used for every 8-bit text
inline constexpr int CP_LATIN1 = 28591;   // ISO-8859-1
inline constexpr int CP_UTF8 = 65001;
