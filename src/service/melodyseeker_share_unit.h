#pragma once
// The documents of the client protocol, shared by the service and its clients.
//
// A request is an XML document whose root (any name) has a child FILENAME with the media
// file's full path. A reply has the root "clientapi" with either FILENAME, TITLE, ARTIST, ALBUM,
// TRACK, YEAR, GENRE, BPM and SYNPOS in this order, or a single ERROR. Documents we write are
// UTF-8 with an XML declaration and no indentation; documents we read may be in any encoding a
// byte-order mark or their declaration announces.
//
// Reading never loads anything from outside the message: no network, no external entities, and
// a document type declaration is refused outright (the protocol has no use for one, and without
// it there are no entities to expand). Text that XML cannot carry (invalid UTF-8, control
// characters) is written as U+FFFD so that every reply stays well-formed.
//
// Stateless and thread-safe; the readers never throw. The builders throw only std::bad_alloc.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// "<clientapi/>" with declaration.
std::string ClientXmlNew();

// The failure reply: clientapi with the single child ERROR holding `message`.
std::string ClientXmlError(std::string_view message);

// The success reply. A number of 0 or less is written as empty text.
std::string ClientXmlResult(std::string_view filename, std::string_view title,
                            std::string_view artist, std::string_view album, int track, int year,
                            std::string_view genre, int bpm, int synpos);

// A request for `filename` (root "clientapi"). False with `error` when the name is not valid
// UTF-8 or holds characters XML cannot carry: such a name would not reach the service intact.
bool ClientXmlRequest(std::string_view filename, std::string& document, std::string& error);

// The text of the root's first FILENAME child (all text inside it; empty when there is none).
// False with `error` (the parser's message) for a document that is not well-formed, has no
// root, or has a document type declaration.
bool ClientXmlReadFilename(std::span<const std::uint8_t> request, std::string& filename,
                           std::string& error);

// A reply as a client sees it: `ok` with the nine texts, or not `ok` with the ERROR text.
struct TClientXmlReply {
  bool ok = false;
  std::string Error;
  std::string FileName, Title, Artist, Album, Track, Year, Genre, BPM, SynPos;
};

// False with `error` when `reply` is not a reply document (malformed, or neither ERROR nor
// FILENAME under the root).
bool ClientXmlReadReply(std::span<const std::uint8_t> reply, TClientXmlReply& out,
                        std::string& error);
