#include "tags/unicode_decode_unit.h"

#include "tags/unicode_util_unit.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <string>

namespace {

// Windows-1252 0x80..0x9F. The five bytes the code page leaves undefined map to the C1 control
// of the same value, as the Windows converter does; glibc's CP1252 rejects them, which would
// turn a whole tag text empty for one odd byte.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string DecodeCp1252(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) {
    AppendUtf8(out, (b >= 0x80 && b <= 0x9F) ? kCp1252High[b - 0x80] : b);
  }
  return out;
}

std::string DecodeUtf16(std::span<const std::uint8_t> bytes, bool big_endian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const std::uint8_t lo = big_endian ? bytes[i + 1] : bytes[i];
    const std::uint8_t hi = big_endian ? bytes[i] : bytes[i + 1];
    units += static_cast<char16_t>((hi << 8) | lo);
  }
  return Utf16ToUtf8(units);
}

std::string IconvName(int codepage) {
  switch (codepage) {
    case 20127: return "ASCII";
    case 12000: return "UTF-32LE";
    case 12001: return "UTF-32BE";
    case 65000: return "UTF-7";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 10000: return "MACINTOSH";
    case 936: return "GBK";
    case 950: return "BIG5";
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 50220: return "ISO-2022-JP";
    default: break;
  }
  if (codepage >= 28591 && codepage <= 28606) return "ISO-8859-" + std::to_string(codepage - 28590);
  return "CP" + std::to_string(codepage);
}

std::string DecodeIconv(std::span<const std::uint8_t> bytes, int codepage) {
  iconv_t cd = iconv_open("UTF-8", IconvName(codepage).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
  std::size_t in_left = bytes.size();
  char* dst = out.data();
  std::size_t out_left = out.size();
  bool ok = true;
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &dst, &out_left) == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) {
        const std::size_t used = static_cast<std::size_t>(dst - out.data());
        out.resize(out.size() * 2);
        dst = out.data() + used;
        out_left = out.size() - used;
        continue;
      }
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  if (!ok) return {};
  out.resize(static_cast<std::size_t>(dst - out.data()));
  return out;
}

}  // namespace

std::string DecodeText(std::span<const std::uint8_t> bytes, int codepage) {
  if (bytes.empty()) return {};
  if (codepage <= 0) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
      return DecodeUtf16(bytes.subspan(2), false);
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
      return DecodeUtf16(bytes.subspan(2), true);
    }
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
      return DecodeText(bytes.subspan(3), CP_UTF8);
    }
    codepage = CP_ANSI;
  }
  switch (codepage) {
    case CP_ANSI: return DecodeCp1252(bytes);
    case CP_LATIN1: return Latin1ToUtf8(bytes);
    case CP_UTF16LE: return DecodeUtf16(bytes, false);
    case CP_UTF16BE: return DecodeUtf16(bytes, true);
    case CP_UTF8:
    {
      std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      return IsValidUtf8(text) ? text : std::string();
    }
    default: return DecodeIconv(bytes, codepage);
  }
}
