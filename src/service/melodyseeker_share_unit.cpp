#include "service/melodyseeker_share_unit.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <memory>
#include <mutex>
#include <new>

#include "tags/unicode_util_unit.h"
#include "web/xml_text_unit.h"

namespace {

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ParserFree {
  void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;
using ParserPtr = std::unique_ptr<xmlParserCtxt, ParserFree>;

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

bool XmlCarries(std::string_view text) {
  if (!IsValidUtf8(text)) return false;
  for (char16_t unit : Utf8ToUtf16(text)) {
    if (!XmlAllows(unit)) return false;
  }
  return true;
}

std::string NumberText(int value) { return value > 0 ? std::to_string(value) : std::string(); }

class Writer {
 public:
  Writer() : FDoc((InitLibxml(), xmlNewDoc(X("1.0")))) {
    if (!FDoc) throw std::bad_alloc();
    FRoot = xmlNewDocNode(FDoc.get(), nullptr, X("clientapi"), nullptr);
    if (FRoot == nullptr) throw std::bad_alloc();
    xmlDocSetRootElement(FDoc.get(), FRoot);
  }

  void Add(const char* name, std::string_view value) {
    std::string safe = XmlText(value);
    // xmlNewTextChild escapes the markup characters; an empty value gives <NAME></NAME>.
    if (xmlNewTextChild(FRoot, nullptr, X(name), X(safe.c_str())) == nullptr) {
      throw std::bad_alloc();
    }
  }

  std::string Bytes() {
    xmlChar* buffer = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(FDoc.get(), &buffer, &size, "UTF-8");
    if (buffer == nullptr) throw std::bad_alloc();
    std::string out(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
    xmlFree(buffer);
    return out;
  }

 private:
  DocPtr FDoc;
  xmlNode* FRoot = nullptr;
};

// All text inside `node`: text and CDATA of the node and of its descendant elements.
void CollectText(const xmlNode* node, std::string& out) {
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      if (child->content != nullptr) out += reinterpret_cast<const char*>(child->content);
    } else if (child->type == XML_ELEMENT_NODE) {
      CollectText(child, out);
    }
  }
}

const xmlNode* FindChild(const xmlNode* parent, const char* name) {
  for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && xmlStrEqual(child->name, X(name))) return child;
  }
  return nullptr;
}

std::string ChildText(const xmlNode* parent, const char* name) {
  std::string text;
  if (const xmlNode* child = FindChild(parent, name)) CollectText(child, text);
  return text;
}

// Called by the parser when it meets <!DOCTYPE ...>: stop before any declaration is read.
void RefuseDoctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* ctxt = static_cast<xmlParserCtxt*>(context);
  *static_cast<bool*>(ctxt->_private) = true;
  xmlStopParser(ctxt);
}

// Parses `bytes` with the encoding taken from the byte-order mark or the declaration.
DocPtr Parse(std::span<const std::uint8_t> bytes, std::string& error) {
  InitLibxml();
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    error = "document too large";
    return nullptr;
  }
  ParserPtr ctxt(xmlNewParserCtxt());
  if (!ctxt || ctxt->sax == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  bool doctype = false;
  ctxt->_private = &doctype;
  ctxt->sax->internalSubset = RefuseDoctype;
  // No XML_PARSE_NOENT, XML_PARSE_DTDLOAD or XML_PARSE_HUGE: nothing is fetched, nothing is
  // expanded, and libxml2's size limits stay in force.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  DocPtr doc(xmlCtxtReadMemory(ctxt.get(), reinterpret_cast<const char*>(bytes.data()),
                               static_cast<int>(bytes.size()), nullptr, nullptr, options));
  if (doctype) {
    error = "document type declarations are not accepted";
    return nullptr;
  }
  if (!doc || !ctxt->wellFormed) {
    const xmlError* last = xmlCtxtGetLastError(ctxt.get());
    error = last != nullptr && last->message != nullptr ? last->message : "XML parse error";
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    if (last != nullptr && last->line > 0) error += " (line " + std::to_string(last->line) + ")";
    return nullptr;
  }
  return doc;
}

}  // namespace

std::string ClientXmlNew() { return Writer().Bytes(); }

std::string ClientXmlError(std::string_view message) {
  Writer writer;
  writer.Add("ERROR", message);
  return writer.Bytes();
}

std::string ClientXmlResult(std::string_view filename, std::string_view title,
                            std::string_view artist, std::string_view album, int track, int year,
                            std::string_view genre, int bpm, int synpos) {
  Writer writer;
  writer.Add("FILENAME", filename);
  writer.Add("TITLE", title);
  writer.Add("ARTIST", artist);
  writer.Add("ALBUM", album);
  writer.Add("TRACK", NumberText(track));
  writer.Add("YEAR", NumberText(year));
  writer.Add("GENRE", genre);
  writer.Add("BPM", NumberText(bpm));
  writer.Add("SYNPOS", NumberText(synpos));
  return writer.Bytes();
}

bool ClientXmlRequest(std::string_view filename, std::string& document, std::string& error) {
  if (!XmlCarries(filename)) {
    error = "the file name is not valid UTF-8 or contains control characters";
    return false;
  }
  Writer writer;
  writer.Add("FILENAME", filename);
  document = writer.Bytes();
  return true;
}

bool ClientXmlReadFilename(std::span<const std::uint8_t> request, std::string& filename,
                           std::string& error) {
  filename.clear();
  DocPtr doc = Parse(request, error);
  if (!doc) return false;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr) {
    error = "Kein Dateiname in Request";
    return false;
  }
  filename = ChildText(root, "FILENAME");
  return true;
}

bool ClientXmlReadReply(std::span<const std::uint8_t> reply, TClientXmlReply& out,
                        std::string& error) {
  out = TClientXmlReply{};
  DocPtr doc = Parse(reply, error);
  if (!doc) return false;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr) {
    error = "empty reply";
    return false;
  }
  if (FindChild(root, "ERROR") != nullptr) {
    out.Error = ChildText(root, "ERROR");
    return true;
  }
  if (FindChild(root, "FILENAME") == nullptr) {
    error = "the reply has neither ERROR nor FILENAME";
    return false;
  }
  out.ok = true;
  out.FileName = ChildText(root, "FILENAME");
  out.Title = ChildText(root, "TITLE");
  out.Artist = ChildText(root, "ARTIST");
  out.Album = ChildText(root, "ALBUM");
  out.Track = ChildText(root, "TRACK");
  out.Year = ChildText(root, "YEAR");
  out.Genre = ChildText(root, "GENRE");
  out.BPM = ChildText(root, "BPM");
  out.SynPos = ChildText(root, "SYNPOS");
  return true;
}
