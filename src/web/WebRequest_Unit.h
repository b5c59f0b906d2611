#pragma once
// One HTTP request at a time for the web service client, over libcurl.
//
// TWebRequest sends a GET or POST (optionally with a body), waits for the answer in steps of at
// most one second so that AbortRequest can end it, and hands back the status code, the content
// type and the body. The body reaches the response stream also for error statuses, and its
// first 500 bytes make up ErrorMessage, so that an error page explains itself.
//
// Transport rules: connect (name resolution included) within 50 s; a request in which no data
// moved for 30 s ends (not with bInfinit, used for cache file downloads); at most 3 redirects,
// HTTP and HTTPS only; HTTPS always verifies the certificate and needs TLS 1.2 or newer.
// A caller that parses the answer gives a byte limit: a larger answer ends the request cleanly
// instead of filling memory (WebRequest_xml uses WebRequestXmlMaxBytes).
//
// TWebRequestEvents counts the bytes of the current response and reports progress every 5 MiB
// through OnReceive; OnReceiveFinished tells the end of each request. Both run in the requesting
// thread. OnReceive runs inside the transfer: it must be quick and must not start a request on
// the same object (AbortRequest is fine). OnReceiveFinished runs once the transfer is over, when
// ResponseCode, ErrorNumber and ErrorMessage already tell its outcome.
//
// Threads: an object belongs to one thread. AbortRequest and ReceivedBytes may be called from any
// other thread while a request runs; AbortRequest takes effect at once (the wait is woken).
// Nothing here throws except std::bad_alloc; failures are a false result plus ErrorNumber and
// ErrorMessage.
//
// TWebXmlNode is the XML document of requests and answers: parsing never loads anything from
// outside the answer (no network, no external entities) and refuses document type declarations,
// so no entity can be expanded; writing gives UTF-8 with declaration.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum TWebRequestEventsStatus : int {
  StatusNone,
  StatusStart,
  StatusReceive,
  StatusFinished,
  StatusError
};

class TWebRequest;

// Progress: bytes received so far in the current response; the flag says they are bytes.
using TOnWebRequestEvent = std::function<void(std::int64_t Receive, bool bIsReceivedBytes)>;
// End of a request: StatusFinished (an answer arrived, whatever its status) or StatusError.
using TOnWebRequestEventFinished =
    std::function<void(TWebRequest& Sender, TWebRequestEventsStatus Status)>;

inline constexpr std::int64_t WebRequestProgressStep = 5242880;
// The largest answer WebRequest_xml accepts. The service's documents are a few KB; the longest,
// the cache file list, needs about 100 bytes a file, so this holds some 20,000 files. It also
// bounds what a hostile document costs: 2 MiB of empty elements parse into about 140 MB.
inline constexpr std::int64_t WebRequestXmlMaxBytes = 2 * 1024 * 1024;

// Error numbers of failures this layer finds itself (curl's own codes are all below 1000).
inline constexpr std::uint32_t WebErrorAborted = 1000;
inline constexpr std::uint32_t WebErrorTooLarge = 1001;
inline constexpr std::uint32_t WebErrorWrite = 1002;
inline constexpr std::uint32_t WebErrorInvalidXml = 1003;
inline constexpr std::uint32_t WebErrorUnexpectedAnswer = 1004;

class TWebRequestEvents {
 public:
  explicit TWebRequestEvents(TWebRequest* owner) : fOwner(owner) {}
  TWebRequestEvents(const TWebRequestEvents&) = delete;
  TWebRequestEvents& operator=(const TWebRequestEvents&) = delete;

  // The transport's four events.
  void OnResponseStart();
  void OnResponseDataAvailable(std::int64_t chunkBytes);
  void OnResponseFinished();
  void OnError(std::uint32_t number, std::string description);
  // Records a failure found after the transfer (an answer that cannot be used) without raising
  // the end event a second time.
  void SetError(std::uint32_t number, std::string description);

  TWebRequestEventsStatus Status() const { return fStatus.load(); }
  std::int64_t ReceivedBytes() const { return fReceivedBytes.load(); }
  std::uint32_t ErrorNumber() const { return fErrorNumber; }
  const std::string& ErrorDescription() const { return fErrorDescription; }

  TOnWebRequestEvent fOnWebRequestEvent;
  TOnWebRequestEventFinished fOnWebRequestEventFinished;

 private:
  TWebRequest* fOwner;
  std::atomic<TWebRequestEventsStatus> fStatus{StatusNone};
  std::atomic<std::int64_t> fReceivedBytes{0};  // read by other threads for progress
  std::int64_t fReceivedBytesLast = 0;
  std::uint32_t fErrorNumber = 0;
  std::string fErrorDescription;
};

// An XML element: its name (without prefix), attributes in document order, the text directly
// inside it (text and CDATA, children's text not included) and its child elements in order.
struct TWebXmlNode {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Attributes;
  std::string Text;
  std::vector<TWebXmlNode> Children;

  // The first child element with exactly this name, or nullptr.
  const TWebXmlNode* Child(std::string_view name) const;
  // All text inside the element, its descendants' included, in document order.
  std::string AllText() const;
  // AllText of Child(name); empty when there is no such child.
  std::string ChildText(std::string_view name) const;
  // The attribute's value, or nullopt when it is missing.
  std::optional<std::string> Attribute(std::string_view name) const;
  // Appends a child element holding `text` and returns it.
  TWebXmlNode& Add(std::string name, std::string text = {});
};

// Parses a document (encoding from byte-order mark or declaration) into its root element.
// False with `error` for anything not well-formed, a document type declaration, or no root.
bool WebXmlParse(std::span<const std::uint8_t> bytes, TWebXmlNode& root, std::string& error);

// The document with `root` as root element, UTF-8 with declaration, no indentation. Text XML
// cannot carry (invalid UTF-8, control characters) is written as U+FFFD.
std::string WebXmlWrite(const TWebXmlNode& root);

class TWebRequest {
 public:
  TWebRequest();
  virtual ~TWebRequest();
  TWebRequest(const TWebRequest&) = delete;
  TWebRequest& operator=(const TWebRequest&) = delete;

  // True exactly when an answer with status 200 arrived. The body goes to ResponseStream when
  // given (also for other statuses); with MaxResponseBytes >= 0 a longer body ends the request
  // with WebErrorTooLarge. A stream that fails to write ends it with WebErrorWrite.
  bool WebRequest_stream(const std::string& RequestUrl, const std::string& ContentType, bool bPost,
                         bool bInfinit, const std::string* RequestStream,
                         std::ostream* ResponseStream, std::string& ResponseType,
                         std::int64_t MaxResponseBytes = -1);

  // Sends RequestXML (when given) as "text/xml". When the request returns true and the answer's
  // content type begins with "text/xml" or "application/xml" (case ignored), ResponseXML is the
  // parsed answer; with any other content type it stays empty although the result is true. An
  // answer that does not parse gives false with WebErrorInvalidXml.
  bool WebRequest_xml(const std::string& RequestUrl, bool bPost, const TWebXmlNode* RequestXML,
                      std::optional<TWebXmlNode>& ResponseXML);

  // Thread-safe: ends the running request within moments (false, ResponseCode -1).
  void AbortRequest();
  // Thread-safe: AbortRequest for every object, and every request started later ends at once
  // as aborted. The service's shutdown; there is no way back.
  static void AbortAll();

  // Thread-safe: bytes received so far in the current response.
  std::int64_t ReceivedBytes() const { return fWebRequestEvents.ReceivedBytes(); }
  // HTTP status of the last request: 0 before any, -1 when it did not complete.
  std::int32_t ResponseCode() const { return fResponseCode; }
  // True when the last request received the start of an answer (a status line), even if the
  // request then failed; false when nothing at all came back.
  bool AnswerStarted() const { return fAnswerStarted; }
  // Milliseconds the last completed request took; 0 when it did not complete.
  std::int32_t InquiryTime() const { return fInquiryTime; }
  // The transport's (or this layer's) error number after a failure, else ResponseCode.
  std::int64_t ErrorNumber() const;
  // The error's description, else "http reponsecode:" + ResponseCode + " " + the first 500
  // bytes of the body (UTF-8 when they are, else read as Windows-1252).
  std::string ErrorMessage() const;

  const std::string& Referer() const { return fsReferer; }
  void SetRequestReferer(std::string referer) { fsReferer = std::move(referer); }
  void SetOnReceive(TOnWebRequestEvent handler) {
    fWebRequestEvents.fOnWebRequestEvent = std::move(handler);
  }
  void SetOnReceiveFinished(TOnWebRequestEventFinished handler) {
    fWebRequestEvents.fOnWebRequestEventFinished = std::move(handler);
  }
  // Connect time-out and the time without any data after which a request ends (50 s and 30 s
  // unless changed).
  void SetTimeouts(std::chrono::milliseconds connect, std::chrono::seconds idle);

 protected:
  // For derived clients that find the answer unusable.
  void SetError(std::uint32_t number, std::string description) {
    fWebRequestEvents.SetError(number, std::move(description));
  }
  bool Aborted() const { return fAbortRequest.load(); }

 private:
  struct TCurl;  // the libcurl handles and the state of one transfer

  std::unique_ptr<TCurl> fhttp;
  TWebRequestEvents fWebRequestEvents{this};
  std::string fsReferer;
  std::atomic<bool> fAbortRequest{false};
  std::int32_t fInquiryTime = 0;
  std::int32_t fResponseCode = 0;
  bool fAnswerStarted = false;
  std::string fResponseMsg;
  std::chrono::milliseconds FConnectTimeout{50000};
  std::chrono::seconds FIdleTimeout{30};
};
