#include "web/xml_text_unit.h"

#include <libxml/parser.h>

#include <mutex>

#include "tags/unicode_util_unit.h"

void InitLibxml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

bool XmlAllows(char16_t unit) {
  return unit == 0x09 || unit == 0x0A || unit == 0x0D ||
         (unit >= 0x20 && unit != 0xFFFE && unit != 0xFFFF);
}

std::string XmlText(std::string_view text) {
  std::u16string units = Utf8ToUtf16(text);
  for (char16_t& unit : units) {
    if (!XmlAllows(unit)) unit = 0xFFFD;
  }
  return Utf16ToUtf8(units);
}
