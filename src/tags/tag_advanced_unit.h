#pragma once
// TAdvancedTag: the facade over one format reader per tag family (ID3v2, Vorbis comments in
// Ogg and FLAC, WMA/WMV attributes, WAV INFO, MIDI text), chosen by the file's extension.
//
// Owns the shared data handler and the five readers. Reusable for many files: every load starts
// from the cleared state, so the values always describe the last file loaded. One thread at a
// time; nothing is locked.
//
//   TAdvancedTag tag;                       // may raise ETagError (WMA editor)
//   if (tag.loadfromfile(path, false) && tag.TagPresent()) use(tag.Title(), tag.Artist());
//   else report(tag.Error());

#include <memory>
#include <string>

#include "tags/tag_advanced_datahandler_unit.h"

class TAdvancedID3;
class TAdvancedMIDI;
class TAdvancedVORBIS;
class TAdvancedWMA;
class TAdvancedWav;

class TAdvancedTag {
 public:
  TAdvancedTag();
  ~TAdvancedTag();
  TAdvancedTag(const TAdvancedTag&) = delete;
  TAdvancedTag& operator=(const TAdvancedTag&) = delete;

  // Reads the tags of `filename`. False with Error() for a missing file (file name +
  // " Datei wurde nicht gefunden") or when the format's reader fails; true with everything
  // cleared for extensions no reader handles. `readbinaryobjects` lets ID3v2 binary frames
  // through the size checks (none of them fills a field).
  bool loadfromfile(const std::string& filename, bool readbinaryobjects);
  // Clears status, values and the work buffer.
  void cleanup();

  const std::string& Error() const { return fDataHandler->fError; }
  RTagtyp TagTyp() const { return fDataHandler->ftagtyp; }
  std::uint8_t TagVers() const { return fDataHandler->ftagvers; }
  std::int32_t TagSize() const { return fDataHandler->ftagsize; }
  bool TagPresent() const { return fDataHandler->ftagpresent; }

  // The values (read-write through the record).
  const RAdvancedTags& supportedtags() const { return fDataHandler->fTags; }
  RAdvancedTags& supportedtags() { return fDataHandler->fTags; }
  const std::string& Track() const { return fDataHandler->fTags.Track; }
  const std::string& Title() const { return fDataHandler->fTags.Title; }
  const std::string& Artist() const { return fDataHandler->fTags.Artist; }
  const std::string& Album() const { return fDataHandler->fTags.Album; }
  const std::string& Year() const { return fDataHandler->fTags.Year; }
  const std::string& Genre() const { return fDataHandler->fTags.genre; }
  const std::string& Comment() const { return fDataHandler->fTags.comment; }
  const std::string& OrgArtist() const { return fDataHandler->fTags.orgartist; }
  const std::string& Composer() const { return fDataHandler->fTags.composer; }
  const std::string& Url() const { return fDataHandler->fTags.url; }
  const std::string& Copyright() const { return fDataHandler->fTags.copyright; }
  const std::string& Encoder() const { return fDataHandler->fTags.encoder; }
  const std::string& Bpm() const { return fDataHandler->fTags.bpm; }
  const std::string& v_groups() const { return fDataHandler->fTags.v_groups; }
  std::int32_t v_rating() const { return fDataHandler->fTags.v_rating; }
  std::int32_t v_synchpos() const { return fDataHandler->fTags.v_synchpos; }

  // The shared state, for checks of the work buffer.
  const TAdvancedDatahandler& DataHandler() const { return *fDataHandler; }

 private:
  std::unique_ptr<TAdvancedDatahandler> fDataHandler;
  std::unique_ptr<TAdvancedID3> fID3;
  std::unique_ptr<TAdvancedMIDI> fMIDI;
  std::unique_ptr<TAdvancedVORBIS> fVORBIS;
  std::unique_ptr<TAdvancedWMA> fWMA;
  std::unique_ptr<TAdvancedWav> fWAV;
};
