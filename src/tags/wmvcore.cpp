#include "tags/wmvcore.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "tags/tag_definitions_unit.h"

namespace {

using Guid = std::array<std::uint8_t, 16>;

// GUIDs as they are stored: the first three groups little-endian, the rest as written.
constexpr Guid kHeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kContentDescription = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kExtendedContentDescription = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                              0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
constexpr Guid kHeaderExtension = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                   0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kMetadata = {0xEA, 0xCB, 0xF8, 0xC5, 0xAF, 0x5B, 0x77, 0x48,
                            0x84, 0x67, 0xAA, 0x8C, 0x44, 0xFA, 0x4C, 0xCA};
constexpr Guid kMetadataLibrary = {0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49,
                                   0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70, 0x54};

constexpr std::size_t kHeaderObjectSize = 30;
constexpr std::size_t kObjectHeaderSize = 24;
// Headers carrying cover art run to a few MiB; anything far beyond is not a header we read.
constexpr std::uint64_t kMaxHeaderSize = 64u << 20;

struct AsfError {
  const char* what;
};

// A cursor over one object's bytes; every length is checked against what remains.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : fBytes(bytes) {}
  std::size_t remaining() const { return fBytes.size() - fPos; }
  std::span<const std::uint8_t> Take(std::uint64_t n, const char* what) {
    if (n > remaining()) throw AsfError{what};
    const auto part = fBytes.subspan(fPos, static_cast<std::size_t>(n));
    fPos += static_cast<std::size_t>(n);
    return part;
  }
  std::uint64_t Le(std::size_t n, const char* what) {
    const auto b = Take(n, what);
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | b[i];
    return v;
  }
  std::uint16_t U16(const char* what) { return static_cast<std::uint16_t>(Le(2, what)); }
  std::uint32_t U32(const char* what) { return static_cast<std::uint32_t>(Le(4, what)); }
  std::uint64_t U64(const char* what) { return Le(8, what); }
  Guid TakeGuid() {
    const auto b = Take(16, "object truncated");
    Guid guid;
    std::copy(b.begin(), b.end(), guid.begin());
    return guid;
  }

 private:
  std::span<const std::uint8_t> fBytes;
  std::size_t fPos = 0;
};

std::u16string NameFromUtf16(std::span<const std::uint8_t> bytes) {
  std::u16string name;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == 0) break;
    name += unit;
  }
  return name;
}

// Stored type numbers of the extended content and metadata objects, to the editor's.
WMT_ATTR_DATATYPE TypeFromStored(std::uint16_t stored) {
  switch (stored) {
    case 0:
      return WMT_TYPE_STRING;
    case 1:
      return WMT_TYPE_BINARY;
    case 2:
      return WMT_TYPE_BOOL;
    case 3:
      return WMT_TYPE_DWORD;
    case 4:
      return WMT_TYPE_QWORD;
    case 5:
      return WMT_TYPE_WORD;
    case 6:
      return WMT_TYPE_GUID;
    default:
      throw AsfError{"unknown attribute type"};
  }
}

RWMAttribute MakeAttribute(std::span<const std::uint8_t> name, std::uint16_t stored_type,
                           std::span<const std::uint8_t> value, std::uint16_t stream,
                           std::uint16_t language) {
  RWMAttribute a;
  a.name = NameFromUtf16(name);
  a.type = TypeFromStored(stored_type);
  a.stream = stream;
  a.language = language;
  a.value.assign(value.begin(), value.end());
  // The editor delivers BOOL as 4 bytes; the metadata objects store it in 2.
  if (a.type == WMT_TYPE_BOOL) a.value.resize(4, 0);
  return a;
}

void ParseContentDescription(std::span<const std::uint8_t> data, std::vector<RWMAttribute>& out) {
  static constexpr const char16_t* kNames[] = {u"Title", u"Author", u"Copyright", u"Description",
                                               u"Rating"};
  Cursor c(data);
  std::array<std::uint16_t, 5> lengths{};
  for (auto& l : lengths) l = c.U16("content description truncated");
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const auto value = c.Take(lengths[i], "content description string past its object");
    if (value.empty()) continue;
    RWMAttribute a;
    a.name = kNames[i];
    a.type = WMT_TYPE_STRING;
    a.value.assign(value.begin(), value.end());
    out.push_back(std::move(a));
  }
}

void ParseExtendedContentDescription(std::span<const std::uint8_t> data,
                                     std::vector<RWMAttribute>& out) {
  Cursor c(data);
  const std::uint16_t count = c.U16("extended content truncated");
  for (std::uint16_t i = 0; i < count; ++i) {
    const auto name = c.Take(c.U16("descriptor truncated"), "descriptor name past its object");
    const std::uint16_t type = c.U16("descriptor truncated");
    const auto value = c.Take(c.U16("descriptor truncated"), "descriptor value past its object");
    out.push_back(MakeAttribute(name, type, value, 0, 0));
  }
}

// Metadata (first field reserved) and Metadata Library (first field a language index) records.
void ParseMetadataRecords(std::span<const std::uint8_t> data, bool library,
                          std::vector<RWMAttribute>& out) {
  Cursor c(data);
  const std::uint16_t count = c.U16("metadata truncated");
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::uint16_t language = c.U16("metadata record truncated");
    const std::uint16_t stream = c.U16("metadata record truncated");
    const std::uint16_t name_length = c.U16("metadata record truncated");
    const std::uint16_t type = c.U16("metadata record truncated");
    const std::uint32_t value_length = c.U32("metadata record truncated");
    const auto name = c.Take(name_length, "metadata name past its object");
    const auto value = c.Take(value_length, "metadata value past its object");
    out.push_back(MakeAttribute(name, type, value, stream, library ? language : 0));
  }
}

// Walks the objects in `data`, calling visit(guid, object data) for each.
template <typename Visit>
void WalkObjects(std::span<const std::uint8_t> data, Visit visit) {
  Cursor c(data);
  while (c.remaining() > 0) {
    const Guid guid = c.TakeGuid();
    const std::uint64_t size = c.U64("object header truncated");
    if (size < kObjectHeaderSize) throw AsfError{"object size below its header"};
    visit(guid, c.Take(size - kObjectHeaderSize, "object size past the header"));
  }
}

}  // namespace

bool ParseAsfHeader(std::span<const std::uint8_t> header, std::vector<RWMAttribute>& attributes,
                    std::string& error) {
  attributes.clear();
  std::vector<RWMAttribute> description, extended, metadata, library;
  try {
    Cursor c(header);
    if (c.TakeGuid() != kHeaderObject) throw AsfError{"no ASF header object"};
    const std::uint64_t size = c.U64("header truncated");
    if (size < kHeaderObjectSize) throw AsfError{"header size below its fields"};
    c.Take(6, "header truncated");  // object count and two reserved bytes
    const auto children = c.Take(size - kHeaderObjectSize, "header size past the data");
    WalkObjects(children, [&](const Guid& id, std::span<const std::uint8_t> data) {
      if (id == kContentDescription) {
        ParseContentDescription(data, description);
      } else if (id == kExtendedContentDescription) {
        ParseExtendedContentDescription(data, extended);
      } else if (id == kHeaderExtension) {
        Cursor ext(data);
        ext.Take(18, "header extension truncated");  // reserved GUID and WORD
        const std::uint32_t ext_size = ext.U32("header extension truncated");
        WalkObjects(ext.Take(ext_size, "header extension size past its object"),
                    [&](const Guid& sub, std::span<const std::uint8_t> sub_data) {
                      if (sub == kMetadata) ParseMetadataRecords(sub_data, false, metadata);
                      if (sub == kMetadataLibrary) ParseMetadataRecords(sub_data, true, library);
                    });
      }
    });
  } catch (const AsfError& e) {
    error = e.what;
    return false;
  }
  for (auto* part : {&description, &extended, &metadata, &library}) {
    for (auto& a : *part) attributes.push_back(std::move(a));
  }
  return true;
}

namespace {

class TAsfHeaderInfo final : public IWMHeaderInfo3 {
 public:
  std::vector<RWMAttribute> fAttributes;

  WMResult GetAttributeCountEx(std::uint16_t stream, std::uint16_t& count) override {
    std::size_t n = 0;
    for (const auto& a : fAttributes) n += Matches(a, stream) ? 1 : 0;
    count = static_cast<std::uint16_t>(std::min<std::size_t>(n, 0xFFFF));
    return WM_S_OK;
  }

  WMResult GetAttributeByIndexEx(std::uint16_t stream, std::uint16_t index, char16_t* name,
                                 std::uint16_t& name_length, WMT_ATTR_DATATYPE& type,
                                 std::uint16_t& language, std::uint8_t* value,
                                 std::uint32_t& value_length) override {
    const RWMAttribute* found = nullptr;
    if (stream == WMAllStreams) {
      // Direct: a caller walking all attributes must not pay a scan per index.
      if (index < fAttributes.size()) found = &fAttributes[index];
    } else {
      std::size_t seen = 0;
      for (const auto& a : fAttributes) {
        if (!Matches(a, stream)) continue;
        if (seen++ == index) {
          found = &a;
          break;
        }
      }
    }
    if (found == nullptr) return WM_E_INVALIDARG;
    // Names come from 16-bit byte counts, so with the terminator they fit 16 bits.
    const auto needed_name = static_cast<std::uint16_t>(found->name.size() + 1);
    const auto needed_value = static_cast<std::uint32_t>(found->value.size());
    type = found->type;
    language = found->language;
    if (name == nullptr && value == nullptr) {
      name_length = needed_name;
      value_length = needed_value;
      return WM_S_OK;
    }
    if ((name != nullptr && name_length < needed_name) ||
        (value != nullptr && value_length < needed_value)) {
      name_length = needed_name;
      value_length = needed_value;
      return WM_E_BUFFER_TOO_SMALL;
    }
    if (name != nullptr) {
      std::copy(found->name.begin(), found->name.end(), name);
      name[found->name.size()] = u'\0';
    }
    if (value != nullptr && needed_value > 0) {
      std::memcpy(value, found->value.data(), needed_value);
    }
    name_length = needed_name;
    value_length = needed_value;
    return WM_S_OK;
  }

 private:
  static bool Matches(const RWMAttribute& a, std::uint16_t stream) {
    return stream == WMAllStreams || a.stream == stream;
  }
};

class TAsfMetadataEditor final : public IWMMetadataEditor {
 public:
  WMResult Open(const std::string& filename) override {
    if (fOpen) return WM_E_UNEXPECTED;
    try {
      const auto file = OpenTagFile(filename);
      std::array<std::uint8_t, kHeaderObjectSize> head{};
      if (file->Size() < head.size()) return WM_E_INVALID_DATA;
      file->ReadAt(0, head);
      std::uint64_t size = 0;
      for (std::size_t i = 24; i-- > 16;) size = (size << 8) | head[i];
      if (size < kHeaderObjectSize || size > file->Size() || size > kMaxHeaderSize) {
        return WM_E_INVALID_DATA;
      }
      std::vector<std::uint8_t> header(static_cast<std::size_t>(size));
      file->ReadAt(0, header);
      std::string error;
      if (!ParseAsfHeader(header, fInfo.fAttributes, error)) return WM_E_INVALID_DATA;
    } catch (const ETagError&) {
      return WM_E_FILE_OPEN_FAILED;
    }
    fOpen = true;
    return WM_S_OK;
  }

  WMResult Close() override {
    if (!fOpen) return WM_E_UNEXPECTED;
    fInfo.fAttributes.clear();
    fOpen = false;
    return WM_S_OK;
  }

  WMResult QueryHeaderInfo3(IWMHeaderInfo3*& header) override {
    header = fOpen ? &fInfo : nullptr;
    return fOpen ? WM_S_OK : WM_E_UNEXPECTED;
  }

 private:
  bool fOpen = false;
  TAsfHeaderInfo fInfo;
};

}  // namespace

WMResult WMCreateEditor(std::unique_ptr<IWMMetadataEditor>& editor) {
  editor = std::make_unique<TAsfMetadataEditor>();
  return WM_S_OK;
}
