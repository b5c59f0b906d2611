#pragma once
// MIDI text reader of TAdvancedTag: the text meta events at the start of a standard MIDI file.
//
// Only the leading meta events of the first track are read: the scan ends at the first event
// that is not a meta event with delta time 0, and a text length is one byte (longer texts,
// stored with a multi-byte length, are misread the way old players did). Works on the shared
// data handler, which it does not own; one thread at a time.

#include <cstdint>
#include <span>
#include <string>

#include "tags/tag_advanced_datahandler_unit.h"

inline constexpr std::size_t MidiReadLimit = 10'240;

// Scans the first bytes of a MIDI file; returns true when a text meta event (type 0..10) was
// met. Never reads outside `data`.
bool ParseMidiText(std::span<const std::uint8_t> data, RAdvancedTags& tags);

class TAdvancedMIDI {
 public:
  explicit TAdvancedMIDI(TAdvancedDatahandler* dataHandler) : fDataHandler(dataHandler) {}

  // False with an error text for files of at most 512 bytes and read errors; true otherwise.
  bool loadfromfile_midi(const std::string& filename, RTagtyp tagtyp_);
  bool loadfromsource_midi(TTagSource& source, const std::string& filename, RTagtyp tagtyp_);

 private:
  TAdvancedDatahandler* fDataHandler;
};
