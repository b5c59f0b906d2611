#include "afp/afpcachebin_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <istream>
#include <ostream>

#include "tags/unicode_decode_unit.h"
#include "tags/unicode_def_unit.h"

namespace {

std::string Format2(const char* head, const std::string& a, const std::string& b) {
  return std::string(head) + a + " " + b;
}

const char* const kRecordError = "Fehler beim Konvertieren des AFP Datensatzes: ";
const char* const kCacheError = "Fehler beim Konvertieren des AFP Cache: ";

// Case-insensitive match of "afp*.afpbin": cache files come from a system whose file names
// ignore case, so "AFP0001.AFPBIN" is a cache file too.
bool IsCacheFileName(const std::string& name) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
    return s;
  };
  const std::string n = lower(name);
  return n.size() >= 10 && n.compare(0, 3, "afp") == 0 &&
         n.compare(n.size() - 7, 7, ".afpbin") == 0;
}

// Reads exactly size bytes at offset; false on a short read or an error.
bool ReadAt(int fd, std::int64_t offset, std::uint8_t* dst, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, dst, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    dst += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

std::string FguidText(std::span<const std::uint8_t> bytes) {
  // FGUIDs are plain ASCII in practice; only other bytes need the code page conversion.
  if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b < 0x80; }))
    return std::string(bytes.begin(), bytes.end());
  return DecodeText(bytes, CP_ANSI);
}

}  // namespace

TAfpCacheFile::~TAfpCacheFile() {
  if (Ffd >= 0) ::close(Ffd);
}

bool TAfpCacheBin::DecodeCacheRecord(std::span<const std::uint8_t> rec, std::string& fguid,
                                     char16_t& rev, RAFP& afp) {
  fguid.clear();
  rev = u'0';
  afp.Clear();
  if (rec.empty() || rec.front() != kRecStart || rec.back() != kRecStop)
    throw EAfpCacheError(Format2(kRecordError, "", "afpds_start/stop"));
  // Items live between the 3-byte head and the end marker; an item whose size reaches past
  // them is corrupt and ends the reading (the record then fails the validity test).
  const std::size_t end = rec.size() - 1;
  std::size_t pos = 3;
  for (int count = 0; pos < end && count <= 10; ++count) {
    const std::size_t remaining = end - pos;
    const std::uint8_t tag = rec[pos];
    if (tag == kTagFguid) {
      if (remaining < 1 + kFguidLen) break;
      fguid = FguidText(rec.subspan(pos + 1, kFguidLen));
      pos += 1 + kFguidLen;
    } else if (tag == kTagChar) {
      if (remaining < 2) break;
      if (count == 1) rev = rec[pos + 1];
      if (count == 2) afp.typ = static_cast<char16_t>((afp.typ & 0xFF00) | rec[pos + 1]);
      pos += 2;
    } else if (tag == kTagSeries) {
      if (remaining < 3) break;
      const std::size_t n = std::size_t(rec[pos + 1]) | (std::size_t(rec[pos + 2]) << 8);
      if (n > remaining - 3) break;
      const auto data = rec.subspan(pos + 3, n);
      if (count == 3 && !TBitStream7::DecodeInto(data, afp.p1)) break;
      if (count == 4 && !TBitStream7::DecodeInto(data, afp.p2)) break;
      pos += 3 + n;
    } else {
      break;
    }
  }
  afp.internalRefCount = 0;
  afp.loaded = !fguid.empty() && rev != u'0' && afp.typ != AFPTypNone && !afp.p1.empty() &&
               !afp.p2.empty();
  return afp.loaded;
}

void TAfpCacheBin::Init(const std::string& apfcachepath, TAfpCacheCallback AfpCacheCallback) {
  fAfpCacheCallback = std::move(AfpCacheCallback);
  {
    std::lock_guard<std::mutex> lock(FCriticalsection);
    fAfpCacheFiles.clear();
    fAfpCacheGlobalIndex.clear();
    fdsglobindex = 0;
  }
  FHandedOut.store(0);
  // Sorted by name: the global numbers must not depend on the directory's hash order.
  std::vector<std::filesystem::path> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(apfcachepath, ec), endit; !ec && it != endit;
       it.increment(ec)) {
    if (IsCacheFileName(it->path().filename().string())) names.push_back(it->path());
  }
  std::sort(names.begin(), names.end());
  for (const auto& path : names) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      throw EAfpCacheError("Fehler beim öffnen der AFP Cache Datei " + path.string() + " : " +
                           std::to_string(errno));
    }
    std::lock_guard<std::mutex> lock(FCriticalsection);
    fAfpCacheFiles.push_back(std::make_unique<TAfpCacheFile>(path.string(), fd));
  }
  for (std::int32_t f = 0; f < static_cast<std::int32_t>(names.size()); ++f) {
    if (FbAbort.load()) break;
    ReadCacheFile(f);
  }
  std::lock_guard<std::mutex> lock(FCriticalsection);
  fAfpCacheGlobalIndex.shrink_to_fit();
}

void TAfpCacheBin::StoreRecord(std::int32_t f, std::int64_t offset,
                               std::span<const std::uint8_t> rec, std::int32_t& dsindex) {
  std::lock_guard<std::mutex> lock(FCriticalsection);
  TAfpCacheFile& file = *fAfpCacheFiles[static_cast<std::size_t>(f)];
  file.FileIndex.push_back({offset, static_cast<std::int32_t>(rec.size())});
  fAfpCacheGlobalIndex.push_back({f, dsindex});
  char16_t rev = u'0';
  const bool valid = DecodeCacheRecord(rec, FScratchGuid, rev, FScratchAfp);
  const std::int64_t glob = fdsglobindex;
  // The numbers advance before the callback so that a raising callback leaves the index whole.
  ++dsindex;
  ++fdsglobindex;
  if (valid && rev >= u'5') {
    FHandedOut.fetch_add(1);
    if (fAfpCacheCallback) fAfpCacheCallback(f, dsindex - 1, glob, FScratchGuid, FScratchAfp);
  }
}

void TAfpCacheBin::ReadCacheFile(std::int32_t f) {
  std::string filename;
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(FCriticalsection);
    filename = fAfpCacheFiles[static_cast<std::size_t>(f)]->Filename;
    fd = fAfpCacheFiles[static_cast<std::size_t>(f)]->Ffd;
  }
  try {
    // Left uninitialised: every byte used is read from the file first.
    struct stat st {};
    const std::size_t chunksize =
        ::fstat(fd, &st) == 0 && st.st_size >= 0 && static_cast<std::uint64_t>(st.st_size) < kChunkSize
            ? std::max<std::size_t>(static_cast<std::size_t>(st.st_size), 1)
            : kChunkSize;
    const std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[chunksize]);
    const std::unique_ptr<std::uint8_t[]> record(new std::uint8_t[kRecordBufferSize]);
    std::size_t have = 0;       // bytes of the current record gathered so far
    std::size_t expected = 3;   // its length, 3 until the length field is known
    std::int64_t recpos = 0;    // its file position
    std::int64_t filepos = 0;   // file position of chunk[0]
    std::int32_t dsindex = 0;
    for (;;) {
      ssize_t got;
      do {
        got = ::pread(fd, chunk.get(), chunksize, static_cast<off_t>(filepos));
      } while (got < 0 && errno == EINTR);
      if (got < 0) throw EAfpCacheError("read error " + std::to_string(errno));
      if (got == 0) break;
      const std::span<const std::uint8_t> data(chunk.get(), static_cast<std::size_t>(got));
      std::size_t i = 0;
      while (i < data.size()) {
        if (have == 0) {
          if (data[i] != kRecStart) throw EAfpCacheError("afpds_start");
          recpos = filepos + static_cast<std::int64_t>(i);
          // Whole record inside this chunk: decode it in place.
          if (data.size() - i >= 3) {
            const std::size_t len = (std::size_t(data[i + 1]) | (std::size_t(data[i + 2]) << 8)) + 3;
            if (data.size() - i >= len) {
              StoreRecord(f, recpos, data.subspan(i, len), dsindex);
              i += len;
              continue;
            }
          }
        }
        if (have < 3) {
          record[have++] = data[i++];
          if (have == 3) expected = (std::size_t(record[1]) | (std::size_t(record[2]) << 8)) + 3;
          else continue;
        }
        const std::size_t take = std::min(expected - have, data.size() - i);
        std::memcpy(record.get() + have, data.data() + i, take);
        have += take;
        i += take;
        if (have == expected) {
          StoreRecord(f, recpos, std::span<const std::uint8_t>(record.get(), expected), dsindex);
          have = 0;
          expected = 3;
        }
      }
      filepos += got;
      if (FbAbort.load()) break;
    }
    // A file cut inside a record lost data: say so instead of loading it silently short.
    if (have > 0 && !FbAbort.load()) throw EAfpCacheError("afpds_stop");
    std::lock_guard<std::mutex> lock(FCriticalsection);
    fAfpCacheFiles[static_cast<std::size_t>(f)]->FileIndex.shrink_to_fit();
  } catch (const std::exception& e) {
    throw EAfpCacheError("AfpCache DoConvert(): " + Format2(kCacheError, filename, e.what()));
  }
}

bool TAfpCacheBin::ReadCacheRecord(std::int64_t dsglobindex, std::string& fguid, RAFP& afp) {
  std::lock_guard<std::mutex> lock(FCriticalsection);
  if (dsglobindex < 0 || dsglobindex >= fdsglobindex) return false;
  const TAfpCacheGlobIndexItem item = fAfpCacheGlobalIndex[static_cast<std::size_t>(dsglobindex)];
  if (item.fileindex < 0 || static_cast<std::size_t>(item.fileindex) >= fAfpCacheFiles.size())
    return false;
  const TAfpCacheFile& file = *fAfpCacheFiles[static_cast<std::size_t>(item.fileindex)];
  if (item.dsindex < 0 || static_cast<std::size_t>(item.dsindex) >= file.FileIndex.size())
    return false;
  const TAfpCacheFileIndexItem& pos = file.FileIndex[static_cast<std::size_t>(item.dsindex)];
  if (pos.len < 1 || static_cast<std::size_t>(pos.len) > kRecordBufferSize) return false;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(pos.len));
  if (!ReadAt(file.Ffd, pos.offset, buffer.data(), buffer.size())) return false;
  char16_t rev = u'0';
  try {
    return DecodeCacheRecord(buffer, fguid, rev, afp) && rev >= u'5';
  } catch (const EAfpCacheError&) {
    return false;  // the file changed under us since it was indexed
  }
}

bool TAfpCacheBin::Get(std::int64_t dsglobindex, std::string& fguid) {
  RAFP afp;
  return ReadCacheRecord(dsglobindex, fguid, afp);
}

bool TAfpCacheBin::Get(std::int64_t dsglobindex, std::string& fguid, RAFP& afp) {
  afp.Clear();
  const bool ok = ReadCacheRecord(dsglobindex, fguid, afp);
  if (!ok) afp.Clear();
  return ok;
}

std::int64_t TAfpCacheBin::RecordCount() const {
  std::lock_guard<std::mutex> lock(FCriticalsection);
  return fdsglobindex;
}

std::int32_t TAfpCacheBin::FileCount() const {
  std::lock_guard<std::mutex> lock(FCriticalsection);
  return static_cast<std::int32_t>(fAfpCacheFiles.size());
}

void AppendAfpCacheRecord(std::string_view fguid, char16_t rev, const RAFP& afp,
                          std::vector<std::uint8_t>& out) {
  if (fguid.size() > TAfpCacheBin::kFguidLen)
    throw EAfpCacheError("AFP Cache FGUID länger als 30 Zeichen");
  const std::size_t start = out.size();
  out.push_back(TAfpCacheBin::kRecStart);
  out.push_back(0);
  out.push_back(0);
  out.push_back(TAfpCacheBin::kTagFguid);
  out.insert(out.end(), fguid.begin(), fguid.end());
  out.insert(out.end(), TAfpCacheBin::kFguidLen - fguid.size(), 0);
  out.push_back(TAfpCacheBin::kTagChar);
  out.push_back(static_cast<std::uint8_t>(rev & 0xFF));
  out.push_back(TAfpCacheBin::kTagChar);
  out.push_back(static_cast<std::uint8_t>(afp.typ & 0xFF));
  for (const RAFPValArray* series : {&afp.p1, &afp.p2}) {
    out.push_back(TAfpCacheBin::kTagSeries);
    const std::size_t lenpos = out.size();
    out.push_back(0);
    out.push_back(0);
    try {
      TBitStream7::EncodeAppend(*series, out);
    } catch (...) {
      out.resize(start);
      throw;
    }
    const std::size_t n = out.size() - lenpos - 2;
    out[lenpos] = static_cast<std::uint8_t>(n & 0xFF);
    out[lenpos + 1] = static_cast<std::uint8_t>(n >> 8);
  }
  out.push_back(TAfpCacheBin::kRecStop);
  // The length field has 16 bits; a wrapped value would cut every later record apart.
  const std::size_t body = out.size() - start - 3;
  if (body > 0xFFFF) {
    out.resize(start);
    throw EAfpCacheError("AFP Datensatz zu lang: " + std::to_string(body));
  }
  out[start + 1] = static_cast<std::uint8_t>(body & 0xFF);
  out[start + 2] = static_cast<std::uint8_t>(body >> 8);
}

void TAfpCacheBin::afptoafpcacheentry(char16_t rev, const RAFP& afp, std::iostream& Stream) {
  std::vector<std::uint8_t> rec;
  AppendAfpCacheRecord({}, rev, afp, rec);
  Stream.write(reinterpret_cast<const char*>(rec.data()), static_cast<std::streamsize>(rec.size()));
  Stream.clear();
  Stream.seekp(0);
  Stream.seekg(0);
}

TAfpCacheFileWriter::TAfpCacheFileWriter(std::string path)
    : FPath(std::move(path)), FTmpPath(FPath + ".tmp") {
  Ffd = ::open(FTmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Ffd < 0)
    throw EAfpCacheError("Fehler beim Schreiben der AFP Cache Datei " + FTmpPath + " : " +
                         std::to_string(errno));
}

TAfpCacheFileWriter::~TAfpCacheFileWriter() {
  if (Ffd >= 0) {
    ::close(Ffd);
    ::unlink(FTmpPath.c_str());
  }
}

void TAfpCacheFileWriter::Add(std::string_view fguid, const RAFP& afp) {
  AppendAfpCacheRecord(fguid, u'6', afp, FBuffer);
  ++FRecords;
  if (FBuffer.size() >= (1u << 20)) Flush();
}

void TAfpCacheFileWriter::Flush() {
  std::size_t done = 0;
  while (done < FBuffer.size()) {
    const ssize_t n = ::write(Ffd, FBuffer.data() + done, FBuffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw EAfpCacheError("Fehler beim Schreiben der AFP Cache Datei " + FTmpPath + " : " +
                           std::to_string(errno));
    done += static_cast<std::size_t>(n);
  }
  FBuffer.clear();
}

void TAfpCacheFileWriter::Commit() {
  Flush();
  const bool ok = ::fsync(Ffd) == 0 && ::close(Ffd) == 0;
  Ffd = -1;
  if (!ok || ::rename(FTmpPath.c_str(), FPath.c_str()) != 0) {
    const int err = errno;
    ::unlink(FTmpPath.c_str());
    throw EAfpCacheError("Fehler beim Schreiben der AFP Cache Datei " + FPath + " : " +
                         std::to_string(err));
  }
}
