#pragma once
// One identification: file -> fingerprint -> best cache row -> the web service's metadata.
//
// IdentifyTitle works only with the objects it is given; it keeps no state between calls. The
// file's fingerprint becomes a comparator row for the search and is handed back afterwards
// (afploadtemp / afpreleasetemp), so memory stays bounded over any number of requests. Several
// threads may call it at once on one comparator: the quick scan reads the quick rows without a lock
// (they never change once built), and each candidate row is locked only around its full comparison,
// where its series may be fetched from the cache file or dropped.
//
// sTrace tells how far the call got. It is built at each stage boundary; inside the search it is
// composed only when an error leaves the search and once at its end, with the same text the
// stage-by-stage record would have at that point, so a million rows cost no text formatting.
// Errors of the generator, the comparator, the tag readers and the web client pass to the caller
// as exceptions (std::exception) with sTrace set; every row lock is released first.

#include <cstdint>
#include <string>

#include "web/webapi_unit.h"

class TAFPComp;
class TAFPDecoder;
class TSimpleTag;
class TAdvancedTag;

enum TAFPIdentifyResult : std::int32_t {
  resultUnknown = 0,
  resultFileDoesNotExists = 1,
  resultFileUnsupported = 2,
  resultCantGenerateAFP = 3,
  resultAFPError = 4,
  resultUnchanged = 5,
  resultNewData = 6,
};

// Minimum percentages of a match (audio, image) and the one that ends the search early.
inline constexpr std::int32_t AFPIdentifyMinAudio = 85;
inline constexpr std::int32_t AFPIdentifyMinImage = 95;
inline constexpr std::int32_t AFPIdentifyStopAbove = 95;

class TAFPIdentify {
 public:
  static TAFPIdentifyResult IdentifyTitle(const std::string& current_file, TAFPComp& AfpCompObj,
                                          TAFPDecoder& objAfpDecoder, TWebAPI& objWebAPI,
                                          TSimpleTag& objTagS, TAdvancedTag& objTagA,
                                          TWebAPI_Tag& localTag, TWebAPI_Tag& RemoteTag,
                                          std::string& remoteFGUID, std::string& remoteTGUID,
                                          std::int32_t& match, std::int32_t& rating,
                                          std::string& sTrace);

  // The search alone (step after the file's row `rref` is locked): best matching cache row's
  // reference into GUID and its percentage into match. Public for tests and benchmarks.
  static void SearchBest(TAFPComp& AfpCompObj, std::int32_t rref, std::size_t p1len,
                         std::size_t p2len, std::string& GUID, std::int32_t& match,
                         std::string& sTrace);

  // A tag number: decimal digits (optionally signed) after trimming, otherwise 0 ("3/12" -> 0).
  static std::int32_t TagNumber(const std::string& text);
  // Whether the service's answer adds anything to the file's own tags.
  static bool HasNewData(const TWebAPI_Tag& local, const TWebAPI_Tag& remote);
};
