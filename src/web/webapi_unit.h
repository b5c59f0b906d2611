#pragma once
// The client of the fingerprint web service: its base address, its endpoints, the request
// documents and the reading of its answers into plain records.
//
// Base address, in this order: local mode ("http://localhost/api/v2/", chosen by the user at
// run time); the environment variable MELODYSEEKER_API; the configured address handed in by the
// configuration (SetConfiguredBaseURL); "http://localhost:8470/v2/". A missing final "/" is
// added. The mode settings (configured address, local mode, test mode, referer) are
// program-wide, behind one lock: they may be set and read from any thread. Local and test mode
// cannot be switched off again. A TWebAPI copies the referer when it is created.
//
// Objects: one per request (identification) or per download run, used by one thread;
// AbortRequest and ReceivedBytes are the exceptions (see TWebRequest). Every operation returns
// true on success; on failure ErrorNumber, ErrorMessage and InquiryTime tell why. An answer that
// arrived but cannot be used (not XML, wrong root element, a bad size) is a failure with
// WebErrorUnexpectedAnswer and a message saying what was wrong.
//
// Update and add: a second attempt is made only when the first got no answer at all (nothing
// came back, not even a status line) and was not aborted; any answer, also a 200 without the
// expected document, ends the operation, so nothing is ever sent endlessly or twice after the
// service has seen it.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "web/WebRequest_Unit.h"

// The eight metadata values exchanged with the service and the clients. Numbers: 0 = none.
struct TWebAPI_Tag {
  std::string Title;
  std::string Artist;
  std::string Album;
  std::int32_t Track = 0;
  std::int32_t Year = 0;
  std::string Genre;
  std::int32_t BPM = 0;
  std::int32_t SynPos = 0;
};

struct TWebAPI_Add {
  std::string AFPpart;  // one fingerprint cache record (the bytes to upload)
  TWebAPI_Tag Tag;
  std::string retFGUID;
  std::string retTGUID;
};

struct TWebAPI_Update {
  std::string FGUID;  // the matched fingerprint
  TWebAPI_Tag Tag;
  std::string retFGUID;
  std::string retTGUID;
  std::int32_t retRating = 0;
};

// One cache file of the service: its download address and size in bytes, kept as a pair so that
// an address holding "=" stays whole.
struct TWebAPI_CacheFile {
  std::string Url;
  std::int64_t Size = 0;
};
using TWebAPI_CacheFiles = std::vector<TWebAPI_CacheFile>;

inline constexpr char WebAPIDefaultBaseURL[] = "http://localhost:8470/v2/";
inline constexpr char WebAPILocalBaseURL[] = "http://localhost/api/v2/";

class TWebAPI : public TWebRequest {
 public:
  TWebAPI();

  // Program-wide settings; thread-safe.
  static void SetReferer(std::string referer);
  static void SetLocalMode();
  static void SetTestMode();
  static void SetConfiguredBaseURL(std::string url);
  static std::string BaseURL();
  static bool TestMode();

  // Clears all eight values.
  static void getAFPTag_Pepare(TWebAPI_Tag& Tag);

  // Online is true when the service says 1; "\n" (backslash, n) in the messages becomes CR LF.
  bool getState(bool& Online, std::string& message_de, std::string& message_en,
                std::string& client_minvers);
  // The list in the service's order (empty on failure, and possibly empty on success).
  bool getCacheInf(TWebAPI_CacheFiles& cacheFiles);
  // Streams the file straight into `Stream` (no receive time limit). MaxBytes >= 0 ends a larger
  // answer (the caller knows the announced size). False without a stream.
  bool getCacheFile(const std::string& CacheFileUrl, std::ostream* Stream,
                    std::int64_t MaxBytes = -1);
  // FUNCTION "U" ("T" in test mode); the answer's values replace Tag and fill the ret fields.
  bool getAFPTag_Update(TWebAPI_Update& WebAPI_Update);
  // FUNCTION "A" with AFPpart as Base64 in lines of 76 characters joined by CR LF.
  bool getAFPTag_Add(TWebAPI_Add& WebAPI_Add);

 private:
  bool SendTagRequest(const TWebXmlNode& request, TWebXmlNode& answer);
};

// The readers of the answer documents, given the parsed root. False with `error` when the
// document is not the expected answer; the outputs are cleared first.
bool WebAPI_ReadState(const TWebXmlNode& root, bool& Online, std::string& message_de,
                      std::string& message_en, std::string& client_minvers, std::string& error);
bool WebAPI_ReadCacheInf(const TWebXmlNode& root, TWebAPI_CacheFiles& cacheFiles,
                         std::string& error);
// Update and add answers; retRating may be nullptr (the add answer has none).
bool WebAPI_ReadTagAnswer(const TWebXmlNode& root, TWebAPI_Tag& Tag, std::string& retFGUID,
                          std::string& retTGUID, std::int32_t* retRating, std::string& error);

// A number of the service: decimal, blanks around it allowed; 0 for anything else.
std::int32_t WebAPI_ReadInt(std::string_view text);
