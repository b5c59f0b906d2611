// The client protocol's documents: replies byte for byte, requests in any encoding, and hostile
// or broken input that must end in an error text.
#include "service/melodyseeker_share_unit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Utf16(std::u16string_view text, bool big_endian) {
  Bytes out = big_endian ? Bytes{0xFE, 0xFF} : Bytes{0xFF, 0xFE};
  for (char16_t unit : text) {
    std::uint8_t hi = static_cast<std::uint8_t>(unit >> 8), lo = static_cast<std::uint8_t>(unit);
    out.push_back(big_endian ? hi : lo);
    out.push_back(big_endian ? lo : hi);
  }
  return out;
}

constexpr char kDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

TEST(ClientXmlReplies, AreWrittenByteForByte) {
  EXPECT_EQ(ClientXmlNew(), std::string(kDecl) + "<clientapi/>\n");
  EXPECT_EQ(ClientXmlError("Der lokale Server ist noch nicht bereit, bitte warten."),
            std::string(kDecl) +
                "<clientapi><ERROR>Der lokale Server ist noch nicht bereit, bitte warten."
                "</ERROR></clientapi>\n");
  // Track and BPM 0 (and any number below) give empty elements; markup is escaped.
  EXPECT_EQ(ClientXmlResult("/musik/Über & <unter>.mp3", "Tänzchen", "Die \"Ärzte\"", "Album", 0,
                            1999, "Rock", 0, 12),
            std::string(kDecl) +
                "<clientapi><FILENAME>/musik/Über &amp; &lt;unter&gt;.mp3</FILENAME>"
                "<TITLE>Tänzchen</TITLE><ARTIST>Die \"Ärzte\"</ARTIST><ALBUM>Album</ALBUM>"
                "<TRACK></TRACK><YEAR>1999</YEAR><GENRE>Rock</GENRE><BPM></BPM>"
                "<SYNPOS>12</SYNPOS></clientapi>\n");
  EXPECT_EQ(ClientXmlResult("f", "", "", "", -3, -1, "", 7, -100),
            std::string(kDecl) +
                "<clientapi><FILENAME>f</FILENAME><TITLE></TITLE><ARTIST></ARTIST>"
                "<ALBUM></ALBUM><TRACK></TRACK><YEAR></YEAR><GENRE></GENRE><BPM>7</BPM>"
                "<SYNPOS></SYNPOS></clientapi>\n");
}

TEST(ClientXmlReplies, StayWellFormedWhateverTheTextAndReadBack) {
  // Web service texts may hold bytes XML cannot carry; the reply must still parse.
  const std::string title = std::string("A\x01") + "B\xFF" + "C\r\nD\tE";
  const std::string doc = ClientXmlResult("/a/b.mp3", title, "Art", "Alb", 5, 2001, "G", 120, 3);
  TClientXmlReply reply;
  std::string error;
  ASSERT_TRUE(ClientXmlReadReply(ToBytes(doc), reply, error)) << error;
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.FileName, "/a/b.mp3");
  EXPECT_EQ(reply.Title,
            "A\xEF\xBF\xBD"
            "B\xEF\xBF\xBD"
            "C\r\nD\tE");
  EXPECT_EQ(reply.Artist, "Art");
  EXPECT_EQ(reply.Album, "Alb");
  EXPECT_EQ(reply.Track, "5");
  EXPECT_EQ(reply.Year, "2001");
  EXPECT_EQ(reply.Genre, "G");
  EXPECT_EQ(reply.BPM, "120");
  EXPECT_EQ(reply.SynPos, "3");

  ASSERT_TRUE(ClientXmlReadReply(ToBytes(ClientXmlError("Datei existiert nicht")), reply, error));
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.Error, "Datei existiert nicht");

  EXPECT_FALSE(
      ClientXmlReadReply(ToBytes("<clientapi><TITLE>x</TITLE></clientapi>"), reply, error));
  EXPECT_FALSE(ClientXmlReadReply(ToBytes("<clientapi>"), reply, error));
}

TEST(ClientXmlRequests, FileNameIsReadInEveryEncoding) {
  struct Case {
    const char* what;
    Bytes request;
    std::string expected;
  };
  const std::string umlauts = "/musik/\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F.mp3";  // äöüß
  const Case cases[] = {
      {"utf-8 with declaration",
       ToBytes(std::string(kDecl) + "<clientapi><FILENAME>" + umlauts + "</FILENAME></clientapi>"),
       umlauts},
      {"utf-8 with byte-order mark, no declaration",
       ToBytes("\xEF\xBB\xBF<clientapi><FILENAME>" + umlauts + "</FILENAME></clientapi>"), umlauts},
      {"utf-16le with byte-order mark",
       Utf16(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><clientapi><FILENAME>/musik/äöüß.mp3"
             u"</FILENAME></clientapi>",
             false),
       umlauts},
      {"utf-16be with byte-order mark",
       Utf16(u"<clientapi><FILENAME>/musik/äöüß.mp3</FILENAME></clientapi>", true), umlauts},
      {"iso-8859-1 declared",
       ToBytes("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><clientapi><FILENAME>/musik/"
               "\xE4\xF6\xFC\xDF.mp3</FILENAME></clientapi>"),
       umlauts},
      {"windows-1252 declared (euro sign)",
       ToBytes("<?xml version=\"1.0\" encoding=\"windows-1252\"?><x><FILENAME>/\x80.mp3"
               "</FILENAME></x>"),
       "/\xE2\x82\xAC.mp3"},
      {"root named request", ToBytes("<request><FILENAME>/a.mp3</FILENAME></request>"), "/a.mp3"},
      {"other children ignored, first FILENAME wins",
       ToBytes("<r><X>1</X><FILENAME>/a.mp3</FILENAME><FILENAME>/b.mp3</FILENAME></r>"), "/a.mp3"},
      {"text split by entities, CDATA and inner elements",
       ToBytes("<r><FILENAME>/a&amp;b<![CDATA[<c>]]><i>d</i>&#x20AC;</FILENAME></r>"),
       "/a&b<c>d\xE2\x82\xAC"},
      {"no FILENAME child", ToBytes("<r><FILE>/a.mp3</FILE></r>"), ""},
      {"FILENAME nested deeper does not count", ToBytes("<r><x><FILENAME>/a</FILENAME></x></r>"),
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string filename = "stale";
    std::string error;
    EXPECT_TRUE(ClientXmlReadFilename(c.request, filename, error)) << error;
    EXPECT_EQ(filename, c.expected);
  }
}

TEST(ClientXmlRequests, BrokenAndHostileDocumentsGiveAnErrorText) {
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
      "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
      "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
      "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
      "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
      "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">"
      "]><clientapi><FILENAME>&lol9;</FILENAME></clientapi>";
  struct Case {
    const char* what;
    Bytes request;
  };
  const Case cases[] = {
      {"mismatched tags", ToBytes("<r><FILENAME>/a.mp3</r>")},
      {"truncated", ToBytes("<clientapi><FILENAME>/a.mp")},
      {"only whitespace", ToBytes("  \n ")},
      {"not xml at all", Bytes{0x00, 0x01, 0x02, 'g', 0xFF}},
      {"billion laughs", ToBytes(laughs)},
      {"external entity", ToBytes("<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                                  "<r><FILENAME>&x;</FILENAME></r>")},
      {"external DTD", ToBytes("<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/x.dtd\"><r/>")},
      {"undeclared entity", ToBytes("<r><FILENAME>&x;</FILENAME></r>")},
      {"latin-1 bytes without declaration", ToBytes("<r><FILENAME>/\xE4.mp3</FILENAME></r>")},
      {"unknown encoding", ToBytes("<?xml version=\"1.0\" encoding=\"x-nonsense\"?><r/>")},
      {"forbidden character reference", ToBytes("<r><FILENAME>&#1;</FILENAME></r>")},
      {"utf-16 cut in half", Bytes{0xFF, 0xFE, '<', 0, 'r', 0, '>', 0, '<'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string filename;
    std::string error;
    EXPECT_FALSE(ClientXmlReadFilename(c.request, filename, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(filename.empty());
  }
}

TEST(ClientXmlRequests, RequestBuilderRoundTripsAndRefusesNamesXmlCannotCarry) {
  const std::string name = "/home/u/Musik/\xC3\x84rger & <Co> \"'\r\n.mp3";
  std::string document;
  std::string error;
  ASSERT_TRUE(ClientXmlRequest(name, document, error)) << error;
  EXPECT_EQ(document.rfind(kDecl, 0), 0u);
  std::string read;
  ASSERT_TRUE(ClientXmlReadFilename(ToBytes(document), read, error)) << error;
  EXPECT_EQ(read, name);

  for (const std::string& bad : {std::string("/a\xE4.mp3"), std::string("/a\x01.mp3")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ClientXmlRequest(bad, document, error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
