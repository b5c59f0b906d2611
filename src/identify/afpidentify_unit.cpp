#include "identify/afpidentify_unit.h"

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "afp/afpcachebin_unit.h"
#include "afp/afpcomp_unit.h"
#include "afp/afpdecode_unit.h"
#include "afp/filetype_unit.h"
#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"

namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

bool FileExists(const std::string& name) {
  std::error_code ec;
  return !name.empty() && std::filesystem::exists(name, ec) &&
         !std::filesystem::is_directory(name, ec);
}

// The text the trace holds for candidate row i at a stage: "" (just locked), " (Q)" (has quick
// data) or " (F)" (passed the quick comparison).
std::string RowTrace(std::int32_t rref, std::int32_t i, const char* stage) {
  std::string t = "Dateiidentifikation rref=" + std::to_string(rref) +
                  "(Lck) r=" + std::to_string(i) + " (Lck)";
  if (*stage == 'Q') t += " (Q)";
  if (*stage == 'F') {
    t = "Dateiidentifikation rref=" + std::to_string(rref) + "(Lck) r=" + std::to_string(i) +
        " (Lck) (F)";
  }
  return t;
}

// The end of a row's step: best reference, the file's series lengths and, for valid rows, the
// lock counts while row i is held (`ilocks`).
std::string RowSuffix(TAFPComp& comp, std::int32_t rref, std::int32_t i, std::int32_t ilocks,
                      const std::string& GUID, std::size_t p1len, std::size_t p2len) {
  std::string t = " GUID:" + GUID + " P1/2:" + std::to_string(p1len) + "/" + std::to_string(p2len);
  const std::int32_t rc = comp.afpcompdata_rc();
  if (i >= 0 && i < rc && rref >= 0 && rref < rc)
    t += " AFPnow/ref: " + std::to_string(ilocks) + "/" + std::to_string(comp.afpLocked(rref));
  return t;
}

std::string WebError(const char* what, const TWebAPI& web) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(web.ErrorNumber()));
  return std::string("Fehler beim WebRequst(") + what + "): " + buf + " : " + web.ErrorMessage() +
         " (" + std::to_string(web.InquiryTime()) + " ms)";
}

}  // namespace

std::int32_t TAFPIdentify::TagNumber(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty()) return 0;
  std::size_t pos = 0;
  bool neg = false;
  if (t[0] == '+' || t[0] == '-') {
    neg = t[0] == '-';
    pos = 1;
  }
  if (pos >= t.size()) return 0;
  std::int64_t v = 0;
  for (; pos < t.size(); ++pos) {
    if (t[pos] < '0' || t[pos] > '9') return 0;
    v = v * 10 + (t[pos] - '0');
    if (v > 2147483647) return 0;
  }
  return static_cast<std::int32_t>(neg ? -v : v);
}

bool TAFPIdentify::HasNewData(const TWebAPI_Tag& l, const TWebAPI_Tag& r) {
  auto text = [](const std::string& remote, const std::string& local) {
    return !remote.empty() && remote != local;
  };
  auto num = [](std::int32_t remote, std::int32_t local) { return remote > 0 && remote != local; };
  return text(r.Title, l.Title) || text(r.Artist, l.Artist) || text(r.Album, l.Album) ||
         text(r.Genre, l.Genre) || num(r.Track, l.Track) || num(r.Year, l.Year) ||
         num(r.BPM, l.BPM) || num(r.SynPos, l.SynPos);
}

void TAFPIdentify::SearchBest(TAFPComp& comp, std::int32_t rref, std::size_t p1len,
                              std::size_t p2len, std::string& GUID, std::int32_t& match,
                              std::string& sTrace) {
  const std::int32_t loaded = comp.afpcompdata_loaded();
  // Rows without quick data or failing the quick comparison are no candidates; the scan finds
  // the others in ascending order without locks.
  std::vector<RAFPQuickHit> hits;
  if (rref >= 0 && loaded > 0)
    comp.afpquickscan(rref, 0, loaded, false, AFPIdentifyMinAudio, AFPIdentifyMinImage, hits);
  std::int32_t best = 0;
  std::int32_t last = -1;  // the last row the search looked at, for the final trace
  std::string v1, v2;
  for (const RAFPQuickHit& hit : hits) {
    const std::int32_t i = hit.row;
    if (i == rref) continue;
    last = i;
    comp.afpLockRow(i);
    bool stop = false;
    try {
      std::int32_t ofs = 0, p = 0;
      const bool ok = comp.afpcomp(rref, i, false, false, AFPIdentifyMinAudio, AFPIdentifyMinImage,
                                   v1, v2, ofs, p);
      if (ok && p > best) {
        best = p;
        match = p;
        const bool ref = comp.getReference(i, GUID);
        if (const std::size_t zero = GUID.find('\0'); zero != std::string::npos) GUID.resize(zero);
        if (ref && p > AFPIdentifyStopAbove) stop = true;
      }
    } catch (...) {
      sTrace =
          RowTrace(rref, i, "F") + RowSuffix(comp, rref, i, comp.afpLocked(i), GUID, p1len, p2len);
      comp.afpUnlockRow(i);
      throw;
    }
    if (stop) {
      sTrace =
          RowTrace(rref, i, "F") + RowSuffix(comp, rref, i, comp.afpLocked(i), GUID, p1len, p2len);
      comp.afpUnlockRow(i);
      return;
    }
    comp.afpUnlockRow(i);
  }
  // The whole range was walked: the trace ends with the last row below `loaded`.
  std::int32_t i = loaded - 1;
  if (i == rref) --i;
  if (i < 0) return;
  const char* stage = "";
  if (i == last)
    stage = "F";
  else if (comp.afpcheck(i))
    stage = "Q";
  sTrace = RowTrace(rref, i, stage) +
           RowSuffix(comp, rref, i, comp.afpLocked(i) + 1, GUID, p1len, p2len);
}

TAFPIdentifyResult TAFPIdentify::IdentifyTitle(const std::string& current_file,
                                               TAFPComp& AfpCompObj, TAFPDecoder& objAfpDecoder,
                                               TWebAPI& objWebAPI, TSimpleTag& objTagS,
                                               TAdvancedTag& objTagA, TWebAPI_Tag& localTag,
                                               TWebAPI_Tag& RemoteTag, std::string& remoteFGUID,
                                               std::string& remoteTGUID, std::int32_t& match,
                                               std::int32_t& rating, std::string& sTrace) {
  TWebAPI::getAFPTag_Pepare(localTag);
  TWebAPI::getAFPTag_Pepare(RemoteTag);
  remoteFGUID.clear();
  remoteTGUID.clear();
  sTrace.clear();
  match = 0;
  rating = 0;
  RAFP afp;
  std::string GUID;

  if (!FileExists(current_file)) return resultFileDoesNotExists;
  if (IsFileType(current_file, ExtMIDI)) return resultFileUnsupported;

  sTrace = "Dateianalyse";
  if (!objAfpDecoder.AFPDecode(current_file, afp)) return resultCantGenerateAFP;
  if (!afp.loaded || afp.typ == AFPTypNone || afp.p1.empty() || afp.p2.empty())
    return resultAFPError;

  sTrace = "Dateiidentifikation";
  // The file's row is handed back after the search and reused by a later request, so a long
  // run holds one such row per concurrent request instead of one per request ever made.
  const std::int32_t rref = AfpCompObj.afploadtemp(afp);
  sTrace = "Dateiidentifikation rref=" + std::to_string(rref);
  AfpCompObj.afpLockRow(rref);
  sTrace += " (Lck)";
  try {
    SearchBest(AfpCompObj, rref, afp.p1.size(), afp.p2.size(), GUID, match, sTrace);
  } catch (...) {
    AfpCompObj.afpUnlockRow(rref);
    AfpCompObj.afpreleasetemp(rref);
    throw;
  }
  AfpCompObj.afpUnlockRow(rref);
  AfpCompObj.afpreleasetemp(rref);

  sTrace = "Tagsladen";
  objTagS.loadfromfile(current_file);
  objTagA.loadfromfile(current_file, false);
  if (objTagS.tagPresent()) {
    if (!Trim(objTagS.Title()).empty()) localTag.Title = objTagS.Title();
    if (!Trim(objTagS.Artist()).empty()) localTag.Artist = objTagS.Artist();
    if (!Trim(objTagS.Album()).empty()) localTag.Album = objTagS.Album();
    if (!Trim(objTagS.genre()).empty()) localTag.Genre = objTagS.genre();
    if (!Trim(objTagS.Track()).empty()) localTag.Track = TagNumber(objTagS.Track());
    if (!Trim(objTagS.Year()).empty()) localTag.Year = TagNumber(objTagS.Year());
  }
  if (objTagA.TagPresent()) {
    if (!Trim(objTagA.Title()).empty()) localTag.Title = objTagA.Title();
    if (!Trim(objTagA.Artist()).empty()) localTag.Artist = objTagA.Artist();
    if (!Trim(objTagA.Album()).empty()) localTag.Album = objTagA.Album();
    if (!Trim(objTagA.Genre()).empty()) localTag.Genre = objTagA.Genre();
    if (!Trim(objTagA.Track()).empty()) localTag.Track = TagNumber(objTagA.Track());
    if (!Trim(objTagA.Year()).empty()) localTag.Year = TagNumber(objTagA.Year());
    if (!Trim(objTagA.Bpm()).empty()) localTag.BPM = TagNumber(objTagA.Bpm());
    localTag.SynPos = objTagA.v_synchpos();
  }

  sTrace = "Webserviceaufruf";
  if (GUID.empty()) {
    TWebAPI_Add add;
    {
      std::stringstream stream(std::ios::in | std::ios::out | std::ios::binary);
      TAfpCacheBin::afptoafpcacheentry(u'6', afp, stream);
      add.AFPpart = stream.str();
    }
    add.Tag = localTag;
    if (!objWebAPI.getAFPTag_Add(add)) throw std::runtime_error(WebError("Add", objWebAPI));
    RemoteTag = add.Tag;
    remoteFGUID = add.retFGUID;
    remoteTGUID = add.retTGUID;
    return resultUnchanged;
  }
  TWebAPI_Update update;
  // The record field is padded with zero bytes; they are no part of the identifier (and could
  // not travel in the XML request).
  update.FGUID = GUID.substr(0, GUID.find('\0'));
  update.Tag = localTag;
  if (!objWebAPI.getAFPTag_Update(update)) throw std::runtime_error(WebError("Update", objWebAPI));
  RemoteTag = update.Tag;
  remoteFGUID = update.retFGUID;
  remoteTGUID = update.retTGUID;
  rating = update.retRating;
  return HasNewData(localTag, RemoteTag) ? resultNewData : resultUnchanged;
}
