#include "tags/unicode_util_unit.h"

#include "tags/unicode_decode_unit.h"

namespace {

// The part of `buffer` that index..index+length names, cut at the buffer's end.
std::span<const std::uint8_t> Slice(std::span<const std::uint8_t> buffer, std::int64_t index,
                                    std::int64_t length) {
  if (index < 0 || length < 1) return {};
  const auto start = static_cast<std::uint64_t>(index);
  if (start >= buffer.size()) return {};
  const std::uint64_t available = buffer.size() - start;
  const auto count = static_cast<std::uint64_t>(length) < available ? static_cast<std::uint64_t>(length)
                                                                    : available;
  return buffer.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(count));
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when it is invalid.
std::size_t NextCodePoint(std::string_view s, std::size_t i, char32_t& cp) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t len;
  if (c < 0x80) { cp = c; return 1; }
  if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
  else return 0;
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsValidUtf8(std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp;
    const std::size_t len = NextCodePoint(utf8, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

TBytes BufToBytes(std::span<const std::uint8_t> buffer, std::int64_t index, std::int64_t length) {
  const auto part = Slice(buffer, index, length);
  return TBytes(part.begin(), part.end());
}

std::string BufToString(std::span<const std::uint8_t> buffer, std::int64_t index,
                        std::int64_t length, int codepage) {
  return DecodeText(Slice(buffer, index, length), codepage);
}

std::string BufToRawString(std::span<const std::uint8_t> buffer, std::int64_t index,
                           std::int64_t length) {
  return Latin1ToUtf8(Slice(buffer, index, length));
}

std::string Latin1ToUtf8(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) AppendUtf8(out, b);
  return out;
}

std::size_t Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp;
    const std::size_t len = NextCodePoint(utf8, i, cp);
    if (len == 0) { ++units; ++i; continue; }
    units += cp >= 0x10000 ? 2 : 1;
    i += len;
  }
  return units;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp;
    const std::size_t len = NextCodePoint(utf8, i, cp);
    if (len == 0) { out += u'\uFFFD'; ++i; continue; }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // an unpaired surrogate cannot be written as UTF-8
    }
    AppendUtf8(out, cp);
  }
  return out;
}
