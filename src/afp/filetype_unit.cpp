#include "afp/filetype_unit.h"

#include <string>

bool IsFileType(std::string_view filename, std::string_view list) {
  const auto dot = filename.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view ext = filename.substr(dot + 1);
  // Blanks in the sense of a classic Trim: every control character and the space.
  while (!ext.empty() && static_cast<unsigned char>(ext.front()) <= ' ') ext.remove_prefix(1);
  while (!ext.empty() && static_cast<unsigned char>(ext.back()) <= ' ') ext.remove_suffix(1);

  std::string needle;
  needle.reserve(ext.size() + 2);
  needle += '.';
  for (char c : ext) needle += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  needle += ',';
  return list.find(needle) != std::string_view::npos;
}
