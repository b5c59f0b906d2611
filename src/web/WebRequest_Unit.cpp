#include "web/WebRequest_Unit.h"

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <exception>
#include <limits>
#include <mutex>
#include <set>
#include <new>
#include <ostream>
#include <sstream>

#include "tags/unicode_decode_unit.h"
#include "tags/unicode_util_unit.h"
#include "web/xml_text_unit.h"

namespace {

// ---------------------------------------------------------------------------------------------
// XML

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ParserFree {
  void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;
using ParserPtr = std::unique_ptr<xmlParserCtxt, ParserFree>;

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }
const char* C(const xmlChar* text) { return reinterpret_cast<const char*>(text); }

// Called by the parser when it meets <!DOCTYPE ...>: stop before any declaration is read. The
// service's answers have no use for one, and without it there is no entity to expand.
void RefuseDoctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* ctxt = static_cast<xmlParserCtxt*>(context);
  *static_cast<bool*>(ctxt->_private) = true;
  xmlStopParser(ctxt);
}

// libxml2 refuses documents nested deeper than 256 levels without XML_PARSE_HUGE; this bound
// only guards the recursion below should that ever change.
constexpr int kMaxDepth = 512;

void Convert(const xmlNode* node, TWebXmlNode& out, int depth) {
  out.Name = node->name != nullptr ? C(node->name) : "";
  for (const xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
    std::string value;
    for (const xmlNode* part = attr->children; part != nullptr; part = part->next) {
      if (part->content != nullptr) value += C(part->content);
    }
    out.Attributes.emplace_back(attr->name != nullptr ? C(attr->name) : "", std::move(value));
  }
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      if (child->content != nullptr) out.Text += C(child->content);
    } else if (child->type == XML_ELEMENT_NODE && depth < kMaxDepth) {
      out.Children.emplace_back();
      Convert(child, out.Children.back(), depth + 1);
    }
  }
}

void CollectText(const TWebXmlNode& node, std::string& out) {
  // Text before the first child and between children is not kept apart; for the leaf elements
  // the service sends this is the element's text.
  out += node.Text;
  for (const TWebXmlNode& child : node.Children) CollectText(child, out);
}

void Build(xmlNode* parent, const TWebXmlNode& node) {
  for (const auto& [name, value] : node.Attributes) {
    const std::string safe = XmlText(value);
    if (xmlNewProp(parent, X(name.c_str()), X(safe.c_str())) == nullptr) throw std::bad_alloc();
  }
  for (const TWebXmlNode& child : node.Children) {
    const std::string safe = XmlText(child.Text);
    // xmlNewTextChild escapes markup; an empty text gives <NAME></NAME>.
    xmlNode* element = xmlNewTextChild(parent, nullptr, X(child.Name.c_str()), X(safe.c_str()));
    if (element == nullptr) throw std::bad_alloc();
    Build(element, child);
  }
}

bool IsXmlContentType(std::string_view type) {
  auto begins = [&](std::string_view prefix) {
    if (type.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(type[i])) != prefix[i]) return false;
    }
    return true;
  };
  return begins("text/xml") || begins("application/xml");
}

// Header values are ours, but a line break inside one would start a header of its own.
std::string HeaderValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

std::int32_t ClampInt32(long long value) {
  return static_cast<std::int32_t>(std::clamp<long long>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

constexpr std::size_t kResponseMsgBytes = 500;

// The start of an answer body as text. Servers today write UTF-8, which is kept (a character cut
// at the 500-byte mark is dropped); anything else is read as the 8-bit code page, so that an
// error page always gives a readable message.
std::string ResponseText(const std::string& head) {
  const std::size_t cut = head.size() == kResponseMsgBytes ? 3 : 0;
  for (std::size_t drop = 0; drop <= cut && drop < head.size(); ++drop) {
    const std::string_view text(head.data(), head.size() - drop);
    if (IsValidUtf8(text)) return std::string(text);
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(head.data());
  return DecodeText(std::span<const std::uint8_t>(bytes, head.size()), CP_ANSI);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TWebXmlNode

const TWebXmlNode* TWebXmlNode::Child(std::string_view name) const {
  for (const TWebXmlNode& child : Children) {
    if (child.Name == name) return &child;
  }
  return nullptr;
}

std::string TWebXmlNode::AllText() const {
  std::string out;
  CollectText(*this, out);
  return out;
}

std::string TWebXmlNode::ChildText(std::string_view name) const {
  const TWebXmlNode* child = Child(name);
  return child != nullptr ? child->AllText() : std::string();
}

std::optional<std::string> TWebXmlNode::Attribute(std::string_view name) const {
  for (const auto& [key, value] : Attributes) {
    if (key == name) return value;
  }
  return std::nullopt;
}

TWebXmlNode& TWebXmlNode::Add(std::string name, std::string text) {
  TWebXmlNode& child = Children.emplace_back();
  child.Name = std::move(name);
  child.Text = std::move(text);
  return child;
}

bool WebXmlParse(std::span<const std::uint8_t> bytes, TWebXmlNode& root, std::string& error) {
  root = TWebXmlNode{};
  InitLibxml();
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    error = "document too large";
    return false;
  }
  ParserPtr ctxt(xmlNewParserCtxt());
  if (!ctxt || ctxt->sax == nullptr) throw std::bad_alloc();
  bool doctype = false;
  ctxt->_private = &doctype;
  ctxt->sax->internalSubset = RefuseDoctype;
  // No XML_PARSE_NOENT, XML_PARSE_DTDLOAD or XML_PARSE_HUGE: nothing is fetched, nothing is
  // expanded, and libxml2's limits on depth and text sizes stay in force.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  DocPtr doc(xmlCtxtReadMemory(ctxt.get(), reinterpret_cast<const char*>(bytes.data()),
                               static_cast<int>(bytes.size()), nullptr, nullptr, options));
  if (doctype) {
    error = "document type declarations are not accepted";
    return false;
  }
  if (!doc || !ctxt->wellFormed) {
    const xmlError* last = xmlCtxtGetLastError(ctxt.get());
    error = last != nullptr && last->message != nullptr ? last->message : "XML parse error";
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    if (last != nullptr && last->line > 0) error += " (line " + std::to_string(last->line) + ")";
    return false;
  }
  const xmlNode* top = xmlDocGetRootElement(doc.get());
  if (top == nullptr) {
    error = "the document has no root element";
    return false;
  }
  Convert(top, root, 0);
  return true;
}

std::string WebXmlWrite(const TWebXmlNode& root) {
  InitLibxml();
  DocPtr doc(xmlNewDoc(X("1.0")));
  if (!doc) throw std::bad_alloc();
  xmlNode* top = xmlNewDocNode(doc.get(), nullptr, X(root.Name.c_str()), nullptr);
  if (top == nullptr) throw std::bad_alloc();
  xmlDocSetRootElement(doc.get(), top);
  if (!root.Text.empty()) {
    const std::string safe = XmlText(root.Text);
    xmlNodeAddContent(top, X(safe.c_str()));
  }
  Build(top, root);
  xmlChar* buffer = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc.get(), &buffer, &size, "UTF-8");
  if (buffer == nullptr) throw std::bad_alloc();
  std::string out(C(buffer), static_cast<std::size_t>(size));
  xmlFree(buffer);
  return out;
}

// ---------------------------------------------------------------------------------------------
// TWebRequestEvents

void TWebRequestEvents::OnResponseStart() {
  fStatus = StatusStart;
  fReceivedBytes = 0;
  fReceivedBytesLast = 0;
  fErrorNumber = 0;
  fErrorDescription.clear();
}

void TWebRequestEvents::OnResponseDataAvailable(std::int64_t chunkBytes) {
  fStatus = StatusReceive;
  const std::int64_t received = fReceivedBytes.load() + chunkBytes;
  fReceivedBytes = received;
  if (received > fReceivedBytesLast + WebRequestProgressStep) {
    fReceivedBytesLast = received;
    if (fOnWebRequestEvent) fOnWebRequestEvent(received, true);
  }
}

void TWebRequestEvents::OnResponseFinished() {
  fStatus = StatusFinished;
  if (fOnWebRequestEventFinished && fOwner != nullptr) {
    fOnWebRequestEventFinished(*fOwner, StatusFinished);
  }
}

void TWebRequestEvents::OnError(std::uint32_t number, std::string description) {
  SetError(number, std::move(description));
  if (fOnWebRequestEventFinished && fOwner != nullptr) {
    fOnWebRequestEventFinished(*fOwner, StatusError);
  }
}

void TWebRequestEvents::SetError(std::uint32_t number, std::string description) {
  fErrorNumber = number;
  fErrorDescription = std::move(description);
  fStatus = StatusError;
}

// ---------------------------------------------------------------------------------------------
// TWebRequest

struct TWebRequest::TCurl {
  explicit TCurl(TWebRequest& owner) : Owner(owner) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    Easy = curl_easy_init();
    Multi = curl_multi_init();
    if (Easy == nullptr || Multi == nullptr) {
      Cleanup();
      throw std::bad_alloc();
    }
  }
  ~TCurl() { Cleanup(); }
  TCurl(const TCurl&) = delete;
  TCurl& operator=(const TCurl&) = delete;

  void Cleanup() {
    if (Multi != nullptr) curl_multi_cleanup(Multi);
    if (Easy != nullptr) curl_easy_cleanup(Easy);
    Multi = nullptr;
    Easy = nullptr;
  }

  // A failure found inside a callback; it replaces curl's own (less telling) error.
  void Fail(std::uint32_t number, std::string text) {
    if (LocalErrorNumber == 0) {
      LocalErrorNumber = number;
      LocalError = std::move(text);
    }
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<TCurl*>(user);
    const std::size_t length = size * count;
    try {
      // Every response (a redirect, an interim 100, the final answer) begins with its status
      // line; the counts and the captured start of the body belong to the current one.
      self->LastActivity = std::chrono::steady_clock::now();
      if (length >= 5 && std::string_view(data, 5) == "HTTP/") {
        self->Owner.fAnswerStarted = true;
        self->Owner.fWebRequestEvents.OnResponseStart();
        self->BodyBytes = 0;
        self->Head.clear();
      }
      return length;
    } catch (const std::exception& e) {
      self->Fail(WebErrorWrite, e.what());
    } catch (...) {
      self->Fail(WebErrorWrite, "unknown error while reading the answer");
    }
    return 0;
  }

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<TCurl*>(user);
    const std::size_t length = size * count;
    try {
      const auto chunk = static_cast<std::int64_t>(length);
      if (self->MaxBytes >= 0 && chunk > self->MaxBytes - self->BodyBytes) {
        self->Fail(WebErrorTooLarge,
                   "the answer is larger than " + std::to_string(self->MaxBytes) + " bytes");
        return 0;
      }
      self->BodyBytes += chunk;
      self->LastActivity = std::chrono::steady_clock::now();
      if (self->Head.size() < kResponseMsgBytes) {
        self->Head.append(data, std::min(length, kResponseMsgBytes - self->Head.size()));
      }
      self->Owner.fWebRequestEvents.OnResponseDataAvailable(chunk);
      if (self->Out != nullptr) {
        self->Out->write(data, static_cast<std::streamsize>(length));
        if (!*self->Out) {
          self->Fail(WebErrorWrite, "the answer could not be written to its target");
          return 0;
        }
      }
      return length;
    } catch (const std::exception& e) {
      self->Fail(WebErrorWrite, e.what());
    } catch (...) {
      self->Fail(WebErrorWrite, "unknown error while receiving the answer");
    }
    return 0;
  }

  static int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* self = static_cast<TCurl*>(user);
    if (dlnow + ulnow != self->Moved) {
      self->Moved = dlnow + ulnow;
      self->LastActivity = std::chrono::steady_clock::now();
    }
    return self->Owner.fAbortRequest.load() ? 1 : 0;
  }

  // The connection stands (new or reused) and the request is about to go out: from here on the
  // idle time counts; before, the connect time-out does.
  static int OnConnected(void* user, char*, char*, int, int) {
    auto* self = static_cast<TCurl*>(user);
    self->Connected = true;
    self->LastActivity = std::chrono::steady_clock::now();
    return CURL_PREREQFUNC_OK;
  }

  TWebRequest& Owner;
  CURL* Easy = nullptr;
  CURLM* Multi = nullptr;
  // The state of the running transfer.
  std::ostream* Out = nullptr;
  std::int64_t MaxBytes = -1;
  std::int64_t BodyBytes = 0;
  bool Connected = false;
  curl_off_t Moved = 0;
  std::chrono::steady_clock::time_point LastActivity;
  std::string Head;
  std::uint32_t LocalErrorNumber = 0;
  std::string LocalError;
  char ErrorBuffer[CURL_ERROR_SIZE] = {};
};

namespace {

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

void AppendHeader(SlistPtr& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw std::bad_alloc();
  (void)list.release();
  list.reset(grown);
}

}  // namespace

namespace {

// Every live request object, so that a shutdown can end all transfers at once.
std::mutex g_requestsLock;
std::set<TWebRequest*> g_requests;  // guarded by g_requestsLock
std::atomic<bool> g_allAborted{false};

}  // namespace

TWebRequest::TWebRequest() : fhttp(std::make_unique<TCurl>(*this)) {
  std::lock_guard<std::mutex> lock(g_requestsLock);
  g_requests.insert(this);
}

TWebRequest::~TWebRequest() {
  std::lock_guard<std::mutex> lock(g_requestsLock);
  g_requests.erase(this);
}

void TWebRequest::AbortAll() {
  // Set first: a request that starts while the list is walked sees it and ends at once.
  g_allAborted.store(true);
  std::lock_guard<std::mutex> lock(g_requestsLock);
  for (TWebRequest* request : g_requests) request->AbortRequest();
}

void TWebRequest::AbortRequest() {
  fAbortRequest = true;
  // Wakes the wait below at once; safe from any thread.
  curl_multi_wakeup(fhttp->Multi);
}

void TWebRequest::SetTimeouts(std::chrono::milliseconds connect, std::chrono::seconds idle) {
  FConnectTimeout = connect;
  FIdleTimeout = idle;
}

std::int64_t TWebRequest::ErrorNumber() const {
  if (fWebRequestEvents.Status() == StatusError) return fWebRequestEvents.ErrorNumber();
  return fResponseCode;
}

std::string TWebRequest::ErrorMessage() const {
  if (fWebRequestEvents.Status() == StatusError) return fWebRequestEvents.ErrorDescription();
  return "http reponsecode:" + std::to_string(fResponseCode) + " " + fResponseMsg;
}

bool TWebRequest::WebRequest_stream(const std::string& RequestUrl, const std::string& ContentType,
                                    bool bPost, bool bInfinit, const std::string* RequestStream,
                                    std::ostream* ResponseStream, std::string& ResponseType,
                                    std::int64_t MaxResponseBytes) {
  fAbortRequest = g_allAborted.load();
  fInquiryTime = 0;
  fResponseCode = 0;
  fAnswerStarted = false;
  fResponseMsg.clear();
  ResponseType.clear();

  TCurl& t = *fhttp;
  t.Out = ResponseStream;
  t.MaxBytes = MaxResponseBytes;
  t.BodyBytes = 0;
  t.Connected = false;
  t.Moved = 0;
  t.Head.clear();
  t.LocalErrorNumber = 0;
  t.LocalError.clear();
  t.ErrorBuffer[0] = '\0';

  CURL* easy = t.Easy;
  curl_easy_reset(easy);
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_URL, RequestUrl.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, 3L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(FConnectTimeout.count()));
  if (bPost) {
    set(CURLOPT_POST, 1L);
    const char* body = RequestStream != nullptr ? RequestStream->data() : "";
    const curl_off_t size =
        RequestStream != nullptr ? static_cast<curl_off_t>(RequestStream->size()) : 0;
    set(CURLOPT_POSTFIELDSIZE_LARGE, size);
    set(CURLOPT_POSTFIELDS, body);
  } else {
    set(CURLOPT_HTTPGET, 1L);
  }
  SlistPtr headers;
  if (!ContentType.empty()) {
    AppendHeader(headers, "Content-Type: " + HeaderValue(ContentType));
  } else if (bPost) {
    AppendHeader(headers, "Content-Type:");  // no made-up form type
  }
  if (!fsReferer.empty()) AppendHeader(headers, "Referer: " + HeaderValue(fsReferer));
  // A body is sent at once; waiting for "100 Continue" only costs a second on servers without it.
  AppendHeader(headers, "Expect:");
  set(CURLOPT_HTTPHEADER, headers.get());
  set(CURLOPT_HEADERFUNCTION, &TCurl::OnHeader);
  set(CURLOPT_HEADERDATA, &t);
  set(CURLOPT_WRITEFUNCTION, &TCurl::OnBody);
  set(CURLOPT_WRITEDATA, &t);
  set(CURLOPT_XFERINFOFUNCTION, &TCurl::OnProgress);
  set(CURLOPT_XFERINFODATA, &t);
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_PREREQFUNCTION, &TCurl::OnConnected);
  set(CURLOPT_PREREQDATA, &t);
  set(CURLOPT_ERRORBUFFER, t.ErrorBuffer);
  if (rc != CURLE_OK) {
    fResponseCode = -1;
    fWebRequestEvents.OnError(static_cast<std::uint32_t>(rc), curl_easy_strerror(rc));
    return false;
  }

  const auto started = std::chrono::steady_clock::now();
  bool done = false;
  CURLcode result = CURLE_OK;
  CURLMcode mc = curl_multi_add_handle(t.Multi, easy);
  while (mc == CURLM_OK) {
    int running = 0;
    mc = curl_multi_perform(t.Multi, &running);
    if (mc != CURLM_OK) break;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(t.Multi, &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
        done = true;
        result = msg->data.result;
      }
    }
    if (done || fAbortRequest.load()) break;
    // At most one second per wait, so the loop stays responsive even if a wake-up were lost.
    auto wait = std::chrono::milliseconds(1000);
    if (!bInfinit && t.Connected) {
      // The peer has gone quiet: no byte moved in either direction for the idle time.
      const auto idle = std::chrono::steady_clock::now() - t.LastActivity;
      if (idle >= FIdleTimeout) {
        t.Fail(CURLE_OPERATION_TIMEDOUT, "Operation timed out: no data moved for " +
                                             std::to_string(FIdleTimeout.count()) + " seconds");
        break;
      }
      wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(FIdleTimeout - idle));
    }
    mc = curl_multi_poll(t.Multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
  curl_multi_remove_handle(t.Multi, easy);
  t.Out = nullptr;

  if (!done || result != CURLE_OK) {
    fResponseCode = -1;
    if (fAbortRequest.load()) {
      fWebRequestEvents.OnError(WebErrorAborted, "the request was aborted");
    } else if (t.LocalErrorNumber != 0) {
      fWebRequestEvents.OnError(t.LocalErrorNumber, t.LocalError);
    } else if (!done) {
      fWebRequestEvents.OnError(static_cast<std::uint32_t>(mc), curl_multi_strerror(mc));
    } else {
      std::string text = t.ErrorBuffer[0] != '\0' ? t.ErrorBuffer : curl_easy_strerror(result);
      while (!text.empty() && text.back() == '\n') text.pop_back();
      fWebRequestEvents.OnError(static_cast<std::uint32_t>(result), std::move(text));
    }
    return false;
  }

  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  fResponseCode = ClampInt32(status);
  char* type = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
    ResponseType = type;
  }
  fResponseMsg = ResponseText(t.Head);
  fInquiryTime = ClampInt32(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count());
  fWebRequestEvents.OnResponseFinished();
  return fResponseCode == 200;
}

bool TWebRequest::WebRequest_xml(const std::string& RequestUrl, bool bPost,
                                 const TWebXmlNode* RequestXML,
                                 std::optional<TWebXmlNode>& ResponseXML) {
  ResponseXML.reset();
  std::string body;
  if (RequestXML != nullptr) body = WebXmlWrite(*RequestXML);
  std::ostringstream answer;
  std::string type;
  if (!WebRequest_stream(RequestUrl, "text/xml", bPost, false,
                         RequestXML != nullptr ? &body : nullptr, &answer, type,
                         WebRequestXmlMaxBytes)) {
    return false;
  }
  if (!IsXmlContentType(type)) return true;
  const std::string bytes = std::move(answer).str();
  TWebXmlNode root;
  std::string error;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (!WebXmlParse(std::span<const std::uint8_t>(data, bytes.size()), root, error)) {
    SetError(WebErrorInvalidXml, "the answer is not valid XML: " + error);
    return false;
  }
  ResponseXML = std::move(root);
  return true;
}
