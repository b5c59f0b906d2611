#include "tags/tag_advanced_unit.h"

#include "afp/filetype_unit.h"
#include "tags/tag_advanced_id3_unit.h"
#include "tags/tag_advanced_midi_unit.h"
#include "tags/tag_advanced_vorbis_unit.h"
#include "tags/tag_advanced_wav_unit.h"
#include "tags/tag_advanced_wma_unit.h"

TAdvancedTag::TAdvancedTag() : fDataHandler(std::make_unique<TAdvancedDatahandler>()) {
  fID3 = std::make_unique<TAdvancedID3>(fDataHandler.get());
  fMIDI = std::make_unique<TAdvancedMIDI>(fDataHandler.get());
  fVORBIS = std::make_unique<TAdvancedVORBIS>(fDataHandler.get());
  fWAV = std::make_unique<TAdvancedWav>(fDataHandler.get());
  fWMA = std::make_unique<TAdvancedWMA>(fDataHandler.get());  // may raise
  cleanup();
}

TAdvancedTag::~TAdvancedTag() = default;

void TAdvancedTag::cleanup() { fDataHandler->Clear(); }

bool TAdvancedTag::loadfromfile(const std::string& filename, bool readbinaryobjects) {
  fDataHandler->fError.clear();
  cleanup();
  if (!TagFileExists(filename)) {
    fDataHandler->fError = filename + " Datei wurde nicht gefunden";
    return false;
  }
  // Each extension belongs to one group only, so at most one reader runs.
  if (IsFileType(filename, ExtMP3) || IsFileType(filename, ExtMP2) ||
      IsFileType(filename, ExtAAC)) {
    return fID3->loadfromfile_id3v2(filename, tt_id3v2, readbinaryobjects);
  }
  if (IsFileType(filename, ExtWMA) || IsFileType(filename, ExtWMV)) {
    return fWMA->loadfromfile_wma(filename, tt_wma);
  }
  if (IsFileType(filename, ExtOGG)) return fVORBIS->loadfromfile_vorbis(filename, tt_vorbis);
  if (IsFileType(filename, ExtMID)) return fMIDI->loadfromfile_midi(filename, tt_midi);
  if (IsFileType(filename, ExtWAV)) return fWAV->loadfromfile_wav(filename, tt_wav);
  if (IsFileType(filename, ExtFLAC)) return fVORBIS->loadfromfile_vorbis(filename, tt_flac);
  return true;
}
