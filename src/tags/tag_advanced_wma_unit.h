#pragma once
// WMA/WMV attribute reader of TAdvancedTag, running on the metadata-editor operations of
// wmvcore: a fixed set of attribute names fills the tag fields; "RATING" may carry our own
// SONARID rating and groups.
//
// Owns its editor (one per object, used by one thread at a time); the data handler is shared
// and not owned.

#include <memory>
#include <string>

#include "tags/tag_advanced_datahandler_unit.h"
#include "tags/wmvcore.h"

inline constexpr const char* WMEditorMissingText =
    "WMMetadataEditor nicht initialisiert, möglicherweise steht er auf diesem System nicht zur "
    "Verfügung";

class TAdvancedWMA {
 public:
  // Creates the editor (none under Wine). Raises ETagError when the editor cannot be created.
  explicit TAdvancedWMA(TAdvancedDatahandler* dataHandler);
  // Runs on the given editor; null behaves as a system without one.
  TAdvancedWMA(TAdvancedDatahandler* dataHandler, std::unique_ptr<IWMMetadataEditor> editor);
  TAdvancedWMA(const TAdvancedWMA&) = delete;
  TAdvancedWMA& operator=(const TAdvancedWMA&) = delete;

  // False with an error text when there is no editor, the file cannot be opened as ASF or an
  // attribute cannot be read; true otherwise (TagPresent true).
  bool loadfromfile_wma(const std::string& filename, RTagtyp tagtyp_);

 private:
  // Reads every attribute through `header` into the data handler.
  void ReadAttributes(IWMHeaderInfo3& header);

  TAdvancedDatahandler* fDataHandler;
  std::unique_ptr<IWMMetadataEditor> fWMMetadataEditor;
};
