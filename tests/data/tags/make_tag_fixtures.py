#!/usr/bin/env python3
"""Writes the small tag fixtures of tests/tags into this directory (Python standard library only).

Every file is built byte by byte here: the normal case of each format, the quirks and limits
the readers keep, and broken input (truncated files, sizes pointing past the end, zero sizes).
The expected values live in tests/tags/tag_fixture_files_test.cpp. Run it again after a change;
the output is deterministic.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(name, data):
    assert len(data) < 100 * 1024, name
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def pad(data, size):
    """Zero bytes after `data` up to `size` (stands in for audio)."""
    return data + b"\0" * max(0, size - len(data))


# --- ID3v1 / ID3v2 ---------------------------------------------------------------------------

def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def id3v2(version, body, size=None):
    return b"ID3" + bytes([version, 0, 0]) + syncsafe(len(body) if size is None else size) + body


def frame(fid, content, flags=b"\0\0", size=None):
    n = len(content) if size is None else size
    return fid.encode() + struct.pack(">I", n) + flags + content


def frame22(fid, content):
    return fid.encode() + struct.pack(">I", len(content))[1:] + content


def id3v1(title=b"", artist=b"", album=b"", year=b"", comment=b"", track=0, genre=255):
    def field(b, n):
        return b[:n] + b"\0" * (n - len(b[:n]))
    return (b"TAG" + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4)
            + field(comment, 28) + b"\0" + bytes([track, genre]))


def make_mp3():
    sonar = "SONARID\u00a13\u00a1Pop".encode("cp1252")
    body = (frame("TIT2", b"\x01\xff\xfe" + "Title".encode("utf-16-le") + b"\0\0")
            + frame("TPE1", b"\x00Artist")
            + frame("TALB", b"\x03Alb\xc3\xbcm")
            + frame("TYER", b"\x001999")
            + frame("TRCK", b"\x003/12")
            + frame("TCON", b"\x00(17)")
            + frame("COMM", b"\x00eng\x00hi")
            + frame("TBPM", b"\x00120")
            + frame("TCOM", b"\x02" + "Comp".encode("utf-16-be"))
            + frame("WXXX", b"\x00\x00http://x.example")
            + frame("POSS", b"\x02\x00\x00\xea\x60")
            + frame("PRIV", b"\x00" + sonar)
            + b"\0" * 64)
    tail = id3v1(b"Song", b"V1 Artist", b"V1 Album", b"2001", b"v1 comment", 5, 147)
    write("id3v23_frames.mp3", pad(id3v2(3, body), 1500) + tail)

    # POPM rating and a COMM with an empty UTF-16 description, both with byte-order marks.
    body = (frame("POPM", b"x\0\xc4\0\0\0\1")
            + frame("COMM", b"\x01eng\xff\xfe\0\0\xff\xfe" + "note".encode("utf-16-le"))
            + frame("TCON", b"\x00(17)Rock and Roll"))
    write("id3v23_popm_comm.mp3", pad(id3v2(3, body + b"\0" * 20), 1000))

    # Version 4 writer that stored plain (not syncsafe) frame sizes: 00 00 01 48 = 328 bytes.
    long_title = b"\x00Long" + b"\0" * (328 - 5)
    body = frame("TIT2", long_title) + frame("TPE1", b"\x00After") + b"\0" * 16
    write("id3v24_plain_frame_size.mp3", pad(id3v2(4, body), 1000))

    body = frame22("TT2", b"\x00Old Title") + frame22("TP1", b"\x00Old Artist") + \
        frame22("TCO", b"\x00(9)") + b"\0" * 10
    write("id3v22.mp3", pad(id3v2(2, body), 1000))

    write("id3v23_padding_only.mp3", pad(id3v2(3, b"\0" * 200), 1000))

    # Compressed (0x08) and encrypted (0x04) frames are skipped.
    body = (frame("TIT2", b"\x00Hidden", flags=b"\0\x08") + frame("TALB", b"\x00Secret", flags=b"\0\x04")
            + frame("TPE1", b"\x00Visible") + b"\0" * 10)
    write("id3v23_compressed.mp3", pad(id3v2(3, body), 1000))

    # A frame whose size points far past the tag: skipped, and the walk ends there.
    body = frame("TPE1", b"\x00Kept") + frame("TIT2", b"\x00Lost", size=0x7FFFFFFF) + b"\0" * 10
    write("id3v23_frame_past_end.mp3", pad(id3v2(3, body), 1000))

    write("id3v2_size_zero.mp3", pad(id3v2(3, b"", size=0), 1000))
    # A 200-byte tag filled with frames up to its end, its size field 00 00 81 48 with a top bit
    # set (ignored: 200); a frame right after the tag is audio, not part of it.
    body = frame("TIT2", b"\x00Sync") + frame("TXXX", b"\x00pad\x00" + b"x" * 170)
    assert len(body) == 200
    tag = bytearray(id3v2(3, body))
    tag[8] |= 0x80
    write("id3v2_size_top_bit.mp3", pad(bytes(tag) + frame("TPE1", b"\x00Beyond"), 1000))
    # The header claims 4,000 bytes, the file ends after 1,000.
    write("id3v2_truncated.mp3", pad(id3v2(3, frame("TIT2", b"\x00Cut"), size=4000), 1000))
    write("id3v2_512_bytes.mp3", pad(id3v2(3, frame("TIT2", b"\x00Small")), 512))
    write("no_tags.mp3", b"\xff\xfb\x90\x00" * 300)
    write("id3v1_200_bytes.mp3", pad(b"", 72) + id3v1(b"Short"))
    write("id3v1_utf8.mp3", pad(b"", 600) + id3v1(b"\xef\xbb\xbf\xc3\x84rger", genre=148))


# --- Vorbis comments -------------------------------------------------------------------------

def comment_block(comments, vendor=b"fixture", count=None):
    out = struct.pack("<I", len(vendor)) + vendor
    out += struct.pack("<I", len(comments) if count is None else count)
    for c in comments:
        out += struct.pack("<I", len(c)) + c
    return out


def flac_block(btype, data, last=False, length=None):
    n = len(data) if length is None else length
    return bytes([(0x80 if last else 0) | btype]) + struct.pack(">I", n)[1:] + data


STREAMINFO = flac_block(0, b"\x10\x00\x10\x00" + b"\0" * 30)
AUDIO = b"\xff\xf8\x69\x08" + b"\0" * 600


def make_flac():
    block = comment_block([b"TITLE=A", b"title=B", b"DISCNUMBER=1", b"ARTIST= Art ",
                           b"ORGANIZATION=X", b"COMPOSER=C", b"NOEQUALS", b"GENRE=",
                           b"=value", b"DATE=2020=01"])
    write("vorbis_comments.flac", b"fLaC" + STREAMINFO + flac_block(4, block, last=True) + AUDIO)
    block = comment_block([b"COMPOSER=C", b"ORGANIZATION=X"])
    write("vorbis_organization_last.flac", b"fLaC" + STREAMINFO + flac_block(4, block, last=True) + AUDIO)
    block = comment_block([b"TITLE=Many"], count=251)
    write("vorbis_251_comments.flac", b"fLaC" + STREAMINFO + flac_block(4, block, last=True) + AUDIO)
    write("vorbis_picture_only.flac",
          b"fLaC" + STREAMINFO + flac_block(6, b"\0" * 40, last=True) + AUDIO)
    # The comment block claims more bytes than the file has: not parsed.
    block = comment_block([b"TITLE=Gone"])
    write("vorbis_block_past_end.flac",
          b"fLaC" + STREAMINFO + flac_block(4, block, last=True, length=0xFFFFFF) + AUDIO)
    # The second comment's length points past the end of the file: the first one is kept.
    block = comment_block([b"TITLE=First"], count=2) + struct.pack("<I", 0x7FFFFF) + b"ARTIST=x"
    write("vorbis_comment_past_end.flac", pad(b"fLaC" + STREAMINFO + flac_block(4, block, last=True), 600))
    # A zero comment length ends the block.
    block = comment_block([b"TITLE=Before"], count=3) + struct.pack("<I", 0) + \
        struct.pack("<I", 9) + b"ARTIST=no"
    write("vorbis_zero_length.flac", b"fLaC" + STREAMINFO + flac_block(4, block, last=True) + AUDIO)
    write("not_flac.flac", b"RIFF" + b"\0" * 800)


def ogg_crc(data):
    crc = 0
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def ogg_page(packet, seq, flags=0):
    segments = []
    n = len(packet)
    while n >= 255:
        segments.append(255)
        n -= 255
    segments.append(n)
    header = (b"OggS" + bytes([0, flags]) + struct.pack("<qIII", 0, 0x1234, seq, 0)
              + bytes([len(segments)]) + bytes(segments))
    page = bytearray(header + packet)
    struct.pack_into("<I", page, 22, ogg_crc(page))
    return bytes(page)


def make_ogg():
    ident = b"\x01vorbis" + struct.pack("<IBIiii", 0, 1, 44100, 0, 128000, 0) + b"\xb8\x01"
    comments = comment_block([b"TITLE=Ogg Title", b"ARTIST=Ogg Artist", b"TRACKNUMBER=2",
                              b"ENCODED_USING=hand"]) + b"\x01"
    setup = b"\x05vorbis" + b"\0" * 400
    write("vorbis_comments.ogg", ogg_page(ident, 0, 2) + ogg_page(b"\x03vorbis" + comments, 1)
          + ogg_page(setup, 2))
    write("not_vorbis.ogg", ogg_page(b"OpusHead" + b"\0" * 11, 0, 2) + ogg_page(b"\0" * 600, 1))


# --- WAV INFO --------------------------------------------------------------------------------

def chunk(cid, data, size=None):
    out = cid + struct.pack("<I", len(data) if size is None else size) + data
    return out + (b"\0" if len(data) % 2 and size is None else b"")


def wave(chunks, riff_size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if riff_size is None else riff_size) + body


FMT = chunk(b"fmt ", struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8))


def make_wav():
    info = b"INFO" + chunk(b"INAM", b"Hello\0") + chunk(b"ITRK", b"Hello") + \
        chunk(b"IART", b"Odd\0") + chunk(b"IGNR", b"Jazz\0") + chunk(b"ICMT", b"\xc3\xa4h\0")
    write("info.wav", wave([FMT, chunk(b"data", b"\x80" * 601), chunk(b"LIST", info)]))
    write("info_before_data.wav", wave([FMT, chunk(b"list", b"INFO" + chunk(b"INAM", b"Early\0")),
                                        chunk(b"data", b"\x80" * 600)]))
    write("info_zero_chunk.wav", wave([FMT, chunk(b"junk", b"", size=0), chunk(b"data", b"\x80" * 600)]))
    # The list claims a megabyte; the file ends after its first sub-chunk.
    write("info_list_past_end.wav", pad(wave([FMT, chunk(b"data", b"\x80" * 600)]), 0) +
          b"LIST" + struct.pack("<I", 1 << 20) + b"INFO" + chunk(b"INAM", b"Cut\0"))
    # A sub-chunk whose size points past the end of the list.
    info = b"INFO" + chunk(b"IART", b"Fine\0") + b"INAM" + struct.pack("<I", 5000) + b"Trunc"
    write("info_subchunk_past_end.wav", wave([FMT, chunk(b"data", b"\x80" * 600), chunk(b"LIST", info)]))
    write("info_not_info.wav", wave([FMT, chunk(b"data", b"\x80" * 600),
                                     chunk(b"LIST", b"adtl" + chunk(b"labl", b"\0\0\0\0x\0"))]))
    write("info_small.wav", pad(wave([FMT]), 511))


# --- MIDI ------------------------------------------------------------------------------------

def midi(track, extra=b""):
    head = b"MThd" + struct.pack(">IHHH", 6, 1, 1, 96)
    return head + b"MTrk" + struct.pack(">I", len(track)) + track + extra


def make_midi():
    track = (b"\x00\xff\x03\x05Intro" + b"\x00\xff\x02\x03(c)" + b"\x00\xff\x51\x03\x07\xa1\x20"
             + b"\x00\xff\x09\x06Singer" + b"\x00\x90\x3c\x40" + b"\x00\xff\x01\x04Late"
             + b"\x60\x80\x3c\x40" * 150 + b"\x00\xff\x2f\x00")
    write("text.mid", midi(track))
    # A 144-byte text has a two-byte length (81 10); only the first byte is taken.
    track = b"\x00\xff\x03\x81\x10" + b"A" * 144 + b"\x00\xff\x2f\x00" + b"\0" * 400
    write("long_text.mid", midi(track))
    # Second track's texts are never reached: the first track's end-of-track event and the
    # following chunk header end the scan.
    write("second_track.mid", midi(b"\x00\xff\x2f\x00",
                                   b"MTrk" + struct.pack(">I", 600) + b"\x00\xff\x03\x03Two" + b"\0" * 593))
    # A text length past the end of the file.
    # Meta events (type 0x7F, no text) fill the first 500 bytes; the file ends three bytes into
    # a title that claims 255.
    write("text_past_end.mid", midi(b"\x00\xff\x01\x03abc" + b"\x00\xff\x7f\x00" * 130
                                    + b"\x00\xff\x03\xffEnd"))
    write("small.mid", pad(midi(b"\x00\xff\x03\x02Hi"), 512))


# --- ASF (WMA) -------------------------------------------------------------------------------

def guid(text):
    a, b, c, d, e = text.split("-")
    return (struct.pack("<IHH", int(a, 16), int(b, 16), int(c, 16)) + bytes.fromhex(d)
            + bytes.fromhex(e))


HEADER = guid("75B22630-668E-11CF-A6D9-00AA0062CE6C")
CONTENT = guid("75B22633-668E-11CF-A6D9-00AA0062CE6C")
EXTENDED = guid("D2D0A440-E307-11D2-97F0-00A0C95EA850")
HEADER_EXT = guid("5FBF03B5-A92E-11CF-8EE3-00C00C205365")
METADATA = guid("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA")
LIBRARY = guid("44231C94-9498-49D1-A141-1D134E457054")
RESERVED1 = guid("ABD3D211-A9BA-11CF-8EE3-00C00C205365")
DATA = guid("75B22636-668E-11CF-A6D9-00AA0062CE6C")


def u16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def asf_object(g, data, size=None):
    return g + struct.pack("<Q", len(data) + 24 if size is None else size) + data


def asf_header(objects, size=None):
    body = b"".join(objects)
    total = len(body) + 30 if size is None else size
    return HEADER + struct.pack("<QIBB", total, len(objects), 1, 2) + body


def content_description(title, author, copyright_, description, rating):
    fields = [u16z(x) if x else b"" for x in (title, author, copyright_, description, rating)]
    return asf_object(CONTENT, struct.pack("<5H", *map(len, fields)) + b"".join(fields))


def descriptor(name, stored_type, value):
    n = u16z(name)
    return struct.pack("<H", len(n)) + n + struct.pack("<HH", stored_type, len(value)) + value


def metadata_record(name, stored_type, value, first=0, stream=0):
    n = u16z(name)
    return struct.pack("<HHHHI", first, stream, len(n), stored_type, len(value)) + n + value


def make_wma():
    ext = [("WM/AlbumTitle", 0, u16z("Album W")),
           ("WM/TrackNumber", 3, struct.pack("<I", 5)),
           ("wm/sharedUserRating", 3, struct.pack("<I", 50)),
           ("WM/Genre", 1, b"\x01\x02"),  # binary: fills nothing
           ("WM/Publisher", 0, u16z("Label"))]
    extended = asf_object(EXTENDED, struct.pack("<H", len(ext)) +
                          b"".join(descriptor(*e) for e in ext))
    meta = asf_object(METADATA, struct.pack("<H", 1) + metadata_record("WM/Composer", 0, u16z("Comp W"), stream=1))
    lib = asf_object(LIBRARY, struct.pack("<H", 2) +
                     metadata_record("WM/Year", 0, u16z("2004")) +
                     metadata_record("WM/BPM", 6, b"\x11" * 16))
    inner = meta + lib
    header_ext = asf_object(HEADER_EXT, RESERVED1 + struct.pack("<HI", 6, len(inner)) + inner)
    cdo = content_description("Title W", "Author W", None, "Desc", "SONARID\u00a14\u00a1Rock")
    data = asf_object(DATA, b"\0" * 400)
    write("attributes.wma", asf_header([cdo, extended, header_ext]) + data)

    # The file ends inside its header object.
    write("asf_truncated.wma", asf_header([cdo, extended])[:-10])
    lying = asf_header([asf_object(EXTENDED, struct.pack("<H", 1) + descriptor("Title", 0, u16z("x")),
                                   size=5000)])
    write("asf_object_past_header.wma", lying + data)
    write("asf_object_size_zero.wma", asf_header([asf_object(CONTENT, b"\0" * 10, size=0)]) + data)
    bad_descriptor = asf_object(EXTENDED, struct.pack("<HH", 1, 400) + u16z("Title"))
    write("asf_descriptor_past_object.wma", asf_header([bad_descriptor]) + data)
    write("not_asf.wma", b"\x30\x26" + b"\0" * 700)


if __name__ == "__main__":
    make_mp3()
    make_flac()
    make_ogg()
    make_wav()
    make_midi()
    make_wma()
