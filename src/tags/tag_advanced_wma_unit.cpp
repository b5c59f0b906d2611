#include "tags/tag_advanced_wma_unit.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "os/os_api_unit.h"
#include "tags/unicode_util_unit.h"

namespace {

std::string Hex(WMResult result) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(result));
  return text;
}

std::string* StringField(std::string_view name, RAdvancedTags& t) {
  struct Entry {
    std::string_view name;
    std::string RAdvancedTags::*field;
  };
  static constexpr Entry kTable[] = {
      {"TITLE", &RAdvancedTags::Title},
      {"AUTHOR", &RAdvancedTags::Artist},
      {"WM/ALBUMTITLE", &RAdvancedTags::Album},
      {"WM/YEAR", &RAdvancedTags::Year},
      {"WM/GENRE", &RAdvancedTags::genre},
      {"DESCRIPTION", &RAdvancedTags::comment},
      {"WM/ORIGINALARTIST", &RAdvancedTags::orgartist},
      {"WM/COMPOSER", &RAdvancedTags::composer},
      {"WM/AUTHORURL", &RAdvancedTags::url},
      {"COPYRIGHT", &RAdvancedTags::copyright},
      {"WM/PUBLISHER", &RAdvancedTags::copyright},
      {"WM/ENCODEDBY", &RAdvancedTags::encoder},
      {"WM/BEATSPERMINUTE", &RAdvancedTags::bpm},
      {"WM/BPM", &RAdvancedTags::bpm},
      // Many writers store the track number as text; it is the same number.
      {"WM/TRACKNUMBER", &RAdvancedTags::Track},
  };
  for (const auto& e : kTable) {
    if (e.name == name) return &(t.*e.field);
  }
  return nullptr;
}

// UTF-16LE value up to its terminator.
std::string StringValue(const std::vector<std::uint8_t>& value) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
    const auto unit = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
    if (unit == 0) break;
    text += unit;
  }
  return Utf16ToUtf8(text);
}

void ApplyAttribute(const std::string& name, WMT_ATTR_DATATYPE type,
                    const std::vector<std::uint8_t>& value, RAdvancedTags& tags) {
  if (type == WMT_TYPE_DWORD && value.size() >= 4) {
    const std::uint32_t number = value[0] | (value[1] << 8) | (value[2] << 16) |
                                 (static_cast<std::uint32_t>(value[3]) << 24);
    if (name == "WM/TRACKNUMBER") {
      tags.Track = std::to_string(number);
    } else if (name == "WM/SHAREDUSERRATING") {
      switch (number) {
        case 1:
          tags.v_rating = 1;
          break;
        case 25:
          tags.v_rating = 2;
          break;
        case 50:
          tags.v_rating = 3;
          break;
        case 75:
          tags.v_rating = 4;
          break;
        case 99:
          tags.v_rating = 5;
          break;
        default:
          break;
      }
    }
  } else if (type == WMT_TYPE_STRING) {
    std::string text = StringValue(value);
    if (name == "RATING") {
      ApplySonarId(text, tags);
    } else if (std::string* field = StringField(name, tags)) {
      *field = std::move(text);
    }
  }
}

}  // namespace

TAdvancedWMA::TAdvancedWMA(TAdvancedDatahandler* dataHandler) : fDataHandler(dataHandler) {
  if (IsWine()) return;
  const WMResult result = WMCreateEditor(fWMMetadataEditor);
  if (result < 0) {
    throw ETagError("WMMetaDataEditor konnte nicht geladen werden ($" + Hex(result) + ").");
  }
  if (!fWMMetadataEditor) throw ETagError(WMEditorMissingText);
}

TAdvancedWMA::TAdvancedWMA(TAdvancedDatahandler* dataHandler,
                           std::unique_ptr<IWMMetadataEditor> editor)
    : fDataHandler(dataHandler), fWMMetadataEditor(std::move(editor)) {}

void TAdvancedWMA::ReadAttributes(IWMHeaderInfo3& header) {
  std::uint16_t count = 0;
  WMResult result = header.GetAttributeCountEx(WMAllStreams, count);
  if (result < 0) throw ETagError("GetAttributeCountEx ($" + Hex(result) + ").");
  fDataHandler->ftagpresent = true;
  std::vector<char16_t> name;
  std::vector<std::uint8_t> value;
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t name_length = 0;
    std::uint32_t value_length = 0;
    WMT_ATTR_DATATYPE type{};
    std::uint16_t language = 0;
    result = header.GetAttributeByIndexEx(WMAllStreams, i, nullptr, name_length, type, language,
                                          nullptr, value_length);
    if (result < 0) throw ETagError("GetAttributeByIndexEx ($" + Hex(result) + ").");
    if (name_length == 0 || value_length == 0) continue;
    name.assign(name_length, u'\0');
    value.assign(value_length, 0);
    result = header.GetAttributeByIndexEx(WMAllStreams, i, name.data(), name_length, type, language,
                                          value.data(), value_length);
    if (result < 0) throw ETagError("GetAttributeByIndexEx ($" + Hex(result) + ").");
    value.resize(value_length);
    const std::u16string_view name_view(name.data(),
                                        std::min<std::size_t>(name_length, name.size()));
    const std::string upper = UpperAscii(Utf16ToUtf8(name_view.substr(0, name_view.find(u'\0'))));
    ApplyAttribute(upper, type, value, fDataHandler->fTags);
  }
}

bool TAdvancedWMA::loadfromfile_wma(const std::string& filename, RTagtyp tagtyp_) {
  fDataHandler->BeginLoad(tagtyp_);
  bool opened = false;
  bool ok = true;
  try {
    if (!fWMMetadataEditor) throw ETagError(WMEditorMissingText);
    if (fWMMetadataEditor->Open(filename) < 0) {
      throw ETagError(filename + " konnte nicht geöffnet werden!");
    }
    opened = true;
    IWMHeaderInfo3* header = nullptr;
    const WMResult result = fWMMetadataEditor->QueryHeaderInfo3(header);
    if (result < 0 || header == nullptr) {
      throw ETagError("IWMHeaderInfo3 ($" + Hex(result) + ").");
    }
    ReadAttributes(*header);
  } catch (const ETagError& e) {
    fDataHandler->fError = std::string(e.what()) + " (loadfromfile_wma verabeitung)";
    ok = false;
  }
  if (opened) fWMMetadataEditor->Close();
  return ok;
}
