#pragma once
// Our own reader of ASF (WMA/WMV) header attributes, offering the metadata-editor operations
// the WMA tag handler relies on: create an editor, open a file, count the attributes, and fetch
// each attribute's name (UTF-16), data type, language and value bytes.
//
// Attributes come from the Content Description object (as STRING attributes "Title", "Author",
// "Copyright", "Description" and "Rating"), the Extended Content Description object, and the
// Metadata and Metadata Library objects inside the Header Extension object, in that order.
// Only the header object is read, never the media data; every size in it is checked against the
// bytes that remain, and a truncated or lying header fails Open.
//
// Results are 32-bit codes whose negative values are failures (WMResult). An editor is used by
// one thread at a time; separate editors are independent.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

using WMResult = std::int32_t;
inline constexpr WMResult WM_S_OK = 0;
inline constexpr WMResult WM_E_FAIL = static_cast<WMResult>(0x80004005u);
inline constexpr WMResult WM_E_INVALIDARG = static_cast<WMResult>(0x80070057u);
inline constexpr WMResult WM_E_UNEXPECTED = static_cast<WMResult>(0x8000FFFFu);
inline constexpr WMResult WM_E_BUFFER_TOO_SMALL = static_cast<WMResult>(0x8007007Au);
inline constexpr WMResult WM_E_INVALID_DATA = static_cast<WMResult>(0xC00D002Fu);
inline constexpr WMResult WM_E_FILE_OPEN_FAILED = static_cast<WMResult>(0xC00D001Du);

// Value types as the editor delivers them (not as the objects store them).
enum WMT_ATTR_DATATYPE : std::uint16_t {
  WMT_TYPE_DWORD = 0,
  WMT_TYPE_STRING = 1,
  WMT_TYPE_BINARY = 2,
  WMT_TYPE_BOOL = 3,  // 4 bytes
  WMT_TYPE_QWORD = 4,
  WMT_TYPE_WORD = 5,
  WMT_TYPE_GUID = 6,
};

inline constexpr std::uint16_t WMAllStreams = 0xFFFF;

struct RWMAttribute {
  std::u16string name;  // without terminator
  WMT_ATTR_DATATYPE type = WMT_TYPE_BINARY;
  std::uint16_t language = 0;
  std::uint16_t stream = 0;
  std::vector<std::uint8_t> value;  // as stored; UTF-16LE strings keep their terminator
};

// Parses a whole ASF header object (from its GUID on) into its attributes. Returns false with
// `error` set when the bytes are not an ASF header or a size in them does not fit.
bool ParseAsfHeader(std::span<const std::uint8_t> header, std::vector<RWMAttribute>& attributes,
                    std::string& error);

class IWMHeaderInfo3 {
 public:
  virtual ~IWMHeaderInfo3() = default;
  // Attributes of `stream` (WMAllStreams: all), at most 65535.
  virtual WMResult GetAttributeCountEx(std::uint16_t stream, std::uint16_t& count) = 0;
  // With `name` and `value` null: the name length in characters including the terminator and
  // the value length in bytes. With buffers at least that large: the name (zero-terminated),
  // the value, type and language. Smaller buffers fail with WM_E_BUFFER_TOO_SMALL.
  virtual WMResult GetAttributeByIndexEx(std::uint16_t stream, std::uint16_t index, char16_t* name,
                                         std::uint16_t& name_length, WMT_ATTR_DATATYPE& type,
                                         std::uint16_t& language, std::uint8_t* value,
                                         std::uint32_t& value_length) = 0;
};

class IWMMetadataEditor {
 public:
  virtual ~IWMMetadataEditor() = default;
  virtual WMResult Open(const std::string& filename) = 0;
  virtual WMResult Close() = 0;
  // The header interface of the open file, valid until Close; null and a failure without one.
  virtual WMResult QueryHeaderInfo3(IWMHeaderInfo3*& header) = 0;
};

// Creates an editor.
WMResult WMCreateEditor(std::unique_ptr<IWMMetadataEditor>& editor);
