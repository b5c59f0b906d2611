#include "web/webapi_unit.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>

#include "platform/thread_annotations.h"

namespace {

// The program-wide mode settings: written at start-up and by the hidden shortcuts, read by the
// request threads whenever they build a request.
struct TWebAPISettings {
  std::mutex Lock;
  std::string ConfiguredBaseURL MS_GUARDED_BY(Lock);
  std::string Referer MS_GUARDED_BY(Lock);
  bool LocalMode MS_GUARDED_BY(Lock) = false;
  bool TestMode MS_GUARDED_BY(Lock) = false;
};

TWebAPISettings& Settings() {
  static TWebAPISettings settings;
  return settings;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Strict decimal: optional blanks around, an optional sign, digits, and nothing else.
template <typename T>
std::optional<T> ParseDecimal(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string NumberText(std::int32_t value) {
  return value > 0 ? std::to_string(value) : std::string();
}

// The service writes line breaks in its messages as the two characters backslash and n.
std::string Linebreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += "\r\n";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Base64 (standard alphabet, "=" fill) in lines of 76 characters joined by CR LF.
std::string Base64Lines(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string plain;
  plain.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    plain += kAlphabet[v >> 18 & 63];
    plain += kAlphabet[v >> 12 & 63];
    plain += kAlphabet[v >> 6 & 63];
    plain += kAlphabet[v & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    plain += kAlphabet[v >> 18 & 63];
    plain += kAlphabet[v >> 12 & 63];
    plain += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    plain += '=';
  }
  constexpr std::size_t kLine = 76;
  std::string out;
  out.reserve(plain.size() + plain.size() / kLine * 2);
  for (std::size_t pos = 0; pos < plain.size(); pos += kLine) {
    if (pos > 0) out += "\r\n";
    out.append(plain, pos, kLine);
  }
  return out;
}

void AddTag(TWebXmlNode& root, const TWebAPI_Tag& tag) {
  root.Add("TITLE", tag.Title);
  root.Add("ARTIST", tag.Artist);
  root.Add("ALBUM", tag.Album);
  root.Add("TRACK", NumberText(tag.Track));
  root.Add("YEAR", NumberText(tag.Year));
  root.Add("GENRE", tag.Genre);
  root.Add("BPM", NumberText(tag.BPM));
  root.Add("SYNPOS", NumberText(tag.SynPos));
}

const char kNotXml[] = "the answer of the service is not an XML document";

}  // namespace

std::int32_t WebAPI_ReadInt(std::string_view text) {
  return ParseDecimal<std::int32_t>(text).value_or(0);
}

// ---------------------------------------------------------------------------------------------
// Settings

void TWebAPI::SetReferer(std::string referer) {
  TWebAPISettings& s = Settings();
  std::lock_guard lock(s.Lock);
  s.Referer = std::move(referer);
}

void TWebAPI::SetLocalMode() {
  TWebAPISettings& s = Settings();
  std::lock_guard lock(s.Lock);
  s.LocalMode = true;
}

void TWebAPI::SetTestMode() {
  TWebAPISettings& s = Settings();
  std::lock_guard lock(s.Lock);
  s.TestMode = true;
}

void TWebAPI::SetConfiguredBaseURL(std::string url) {
  TWebAPISettings& s = Settings();
  std::lock_guard lock(s.Lock);
  s.ConfiguredBaseURL = std::move(url);
}

bool TWebAPI::TestMode() {
  TWebAPISettings& s = Settings();
  std::lock_guard lock(s.Lock);
  return s.TestMode;
}

std::string TWebAPI::BaseURL() {
  std::string base;
  {
    TWebAPISettings& s = Settings();
    std::lock_guard lock(s.Lock);
    if (s.LocalMode) return WebAPILocalBaseURL;
    base = s.ConfiguredBaseURL;
  }
  if (const char* env = std::getenv("MELODYSEEKER_API"); env != nullptr && *env != '\0') {
    base = env;
  }
  if (base.empty()) return WebAPIDefaultBaseURL;
  // Endpoint names are appended directly.
  if (base.back() != '/') base += '/';
  return base;
}

void TWebAPI::getAFPTag_Pepare(TWebAPI_Tag& Tag) { Tag = TWebAPI_Tag{}; }

TWebAPI::TWebAPI() {
  TWebAPISettings& s = Settings();
  std::lock_guard lock(s.Lock);
  SetRequestReferer(s.Referer);
}

// ---------------------------------------------------------------------------------------------
// Answers

bool WebAPI_ReadState(const TWebXmlNode& root, bool& Online, std::string& message_de,
                      std::string& message_en, std::string& client_minvers, std::string& error) {
  Online = false;
  message_de.clear();
  message_en.clear();
  client_minvers.clear();
  if (!EqualsNoCase(root.Name, "apistate")) {
    error = "unexpected answer of the service: <" + root.Name + "> instead of <apistate>";
    return false;
  }
  Online = WebAPI_ReadInt(root.ChildText("online")) == 1;
  message_de = Linebreaks(root.ChildText("message_de"));
  message_en = Linebreaks(root.ChildText("message_en"));
  client_minvers = root.ChildText("client_minvers");
  return true;
}

bool WebAPI_ReadCacheInf(const TWebXmlNode& root, TWebAPI_CacheFiles& cacheFiles,
                         std::string& error) {
  cacheFiles.clear();
  if (!EqualsNoCase(root.Name, "afpcache")) {
    error = "unexpected answer of the service: <" + root.Name + "> instead of <afpcache>";
    return false;
  }
  for (const TWebXmlNode& child : root.Children) {
    if (!EqualsNoCase(child.Name, "afpcachefile")) continue;
    // Surrounding blanks are layout of the document, never part of an address.
    TWebAPI_CacheFile file{std::string(Trim(child.AllText())), 0};
    const std::optional<std::string> size = child.Attribute("size");
    file.Size = size ? ParseDecimal<std::int64_t>(*size).value_or(-1) : -1;
    // The size decides which local files are current; a file listed without a usable one would
    // be downloaded again at every start and never checked.
    if (file.Url.empty() || file.Size < 0) {
      error = file.Url.empty() ? "the cache file list names a file without an address"
                               : "the cache file list gives no valid size for " + file.Url +
                                     (size ? ": \"" + *size + "\"" : std::string());
      cacheFiles.clear();
      return false;
    }
    cacheFiles.push_back(std::move(file));
  }
  return true;
}

bool WebAPI_ReadTagAnswer(const TWebXmlNode& root, TWebAPI_Tag& Tag, std::string& retFGUID,
                          std::string& retTGUID, std::int32_t* retRating, std::string& error) {
  if (root.Name != "remoteapi") {
    error = "unexpected answer of the service: <" + root.Name + "> instead of <remoteapi>";
    return false;
  }
  Tag.Title = root.ChildText("TITLE");
  Tag.Artist = root.ChildText("ARTIST");
  Tag.Album = root.ChildText("ALBUM");
  Tag.Track = WebAPI_ReadInt(root.ChildText("TRACK"));
  Tag.Year = WebAPI_ReadInt(root.ChildText("YEAR"));
  Tag.Genre = root.ChildText("GENRE");
  Tag.BPM = WebAPI_ReadInt(root.ChildText("BPM"));
  Tag.SynPos = WebAPI_ReadInt(root.ChildText("SYNPOS"));
  retFGUID = root.ChildText("FGUID");
  retTGUID = root.ChildText("TGUID");
  if (retRating != nullptr) *retRating = WebAPI_ReadInt(root.ChildText("RATING"));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Requests

bool TWebAPI::getState(bool& Online, std::string& message_de, std::string& message_en,
                       std::string& client_minvers) {
  Online = false;
  message_de.clear();
  message_en.clear();
  client_minvers.clear();
  std::optional<TWebXmlNode> answer;
  if (!WebRequest_xml(BaseURL() + "getState.php", false, nullptr, answer)) return false;
  if (!answer) {
    SetError(WebErrorUnexpectedAnswer, kNotXml);
    return false;
  }
  std::string error;
  if (!WebAPI_ReadState(*answer, Online, message_de, message_en, client_minvers, error)) {
    SetError(WebErrorUnexpectedAnswer, error);
    return false;
  }
  return true;
}

bool TWebAPI::getCacheInf(TWebAPI_CacheFiles& cacheFiles) {
  cacheFiles.clear();
  std::optional<TWebXmlNode> answer;
  if (!WebRequest_xml(BaseURL() + "getAFPCacheInf.php", false, nullptr, answer)) return false;
  if (!answer) {
    SetError(WebErrorUnexpectedAnswer, kNotXml);
    return false;
  }
  std::string error;
  if (!WebAPI_ReadCacheInf(*answer, cacheFiles, error)) {
    SetError(WebErrorUnexpectedAnswer, error);
    return false;
  }
  return true;
}

bool TWebAPI::getCacheFile(const std::string& CacheFileUrl, std::ostream* Stream,
                           std::int64_t MaxBytes) {
  if (Stream == nullptr) {
    SetError(WebErrorWrite, "no target for the cache file " + CacheFileUrl);
    return false;
  }
  std::string type;
  return WebRequest_stream(CacheFileUrl, "", false, true, nullptr, Stream, type, MaxBytes);
}

bool TWebAPI::SendTagRequest(const TWebXmlNode& request, TWebXmlNode& answer) {
  const std::string url = BaseURL() + "getAFPTag.php";
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<TWebXmlNode> document;
    if (WebRequest_xml(url, true, &request, document)) {
      if (!document) {
        SetError(WebErrorUnexpectedAnswer, kNotXml);
        return false;
      }
      answer = std::move(*document);
      return true;
    }
    // Only a request that never reached the service is sent again: once an answer has begun,
    // the service may already have stored what was sent.
    if (AnswerStarted() || Aborted()) return false;
  }
  return false;
}

bool TWebAPI::getAFPTag_Update(TWebAPI_Update& WebAPI_Update) {
  WebAPI_Update.retFGUID.clear();
  WebAPI_Update.retTGUID.clear();
  WebAPI_Update.retRating = 0;
  TWebXmlNode request;
  request.Name = "remoteapi";
  request.Add("FUNCTION", TestMode() ? "T" : "U");
  request.Add("FGUID", WebAPI_Update.FGUID);
  AddTag(request, WebAPI_Update.Tag);
  TWebXmlNode answer;
  if (!SendTagRequest(request, answer)) return false;
  std::string error;
  if (!WebAPI_ReadTagAnswer(answer, WebAPI_Update.Tag, WebAPI_Update.retFGUID,
                            WebAPI_Update.retTGUID, &WebAPI_Update.retRating, error)) {
    SetError(WebErrorUnexpectedAnswer, error);
    return false;
  }
  return true;
}

bool TWebAPI::getAFPTag_Add(TWebAPI_Add& WebAPI_Add) {
  WebAPI_Add.retFGUID.clear();
  WebAPI_Add.retTGUID.clear();
  TWebXmlNode request;
  request.Name = "remoteapi";
  request.Add("FUNCTION", "A");
  request.Add("AFPPART", Base64Lines(WebAPI_Add.AFPpart));
  AddTag(request, WebAPI_Add.Tag);
  TWebXmlNode answer;
  if (!SendTagRequest(request, answer)) return false;
  std::string error;
  if (!WebAPI_ReadTagAnswer(answer, WebAPI_Add.Tag, WebAPI_Add.retFGUID, WebAPI_Add.retTGUID,
                            nullptr, error)) {
    SetError(WebErrorUnexpectedAnswer, error);
    return false;
  }
  return true;
}
