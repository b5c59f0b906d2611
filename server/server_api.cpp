#include "server_api.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <limits>
#include <span>

#include "afp/afpcachebin_unit.h"
#include "web/WebRequest_Unit.h"

namespace {

constexpr const char* kXmlType = "text/xml; charset=utf-8";

std::string_view TrimBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

void Fail(httplib::Response& res, const ServerStatus& st) {
  res.status = st.http;
  res.set_content(st.message + "\n", "text/plain; charset=utf-8");
}

void Xml(httplib::Response& res, const TWebXmlNode& root) {
  res.status = 200;
  res.set_content(WebXmlWrite(root), kXmlType);
}

// "/api/v2/" or "/v2/": the prefix the client used, so that the addresses we hand out work the
// same way for it.
std::string Prefix(const httplib::Request& req) {
  return req.path.rfind("/api/v2/", 0) == 0 ? "/api/v2/" : "/v2/";
}

bool ValidHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string NumberText(std::int32_t v) { return v > 0 ? std::to_string(v) : std::string(); }

// A number element of a request: empty (none) or a plain decimal that fits 32 bits.
bool ReadNumber(const TWebXmlNode& root, const char* name, std::int32_t& out, ServerStatus& st) {
  const std::string text = root.ChildText(name);
  const std::string_view t = TrimBlanks(text);
  out = 0;
  if (t.empty()) return true;
  std::int64_t v = 0;
  const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || ptr != t.data() + t.size() || t.front() == '-' || v < 0 ||
      v > std::numeric_limits<std::int32_t>::max()) {
    st = ServerStatus::BadRequest(std::string(name) +
                                  " must be empty or a decimal number from 0 to "
                                  "2147483647");
    return false;
  }
  out = static_cast<std::int32_t>(v);
  return true;
}

bool ReadText(const TWebXmlNode& root, const char* name, std::string& out, ServerStatus& st) {
  out = root.ChildText(name);
  if (out.size() > kMaxTagTextBytes) {
    st = ServerStatus::BadRequest(std::string(name) + " is longer than " +
                                  std::to_string(kMaxTagTextBytes) + " bytes");
    return false;
  }
  return true;
}

bool ReadTags(const TWebXmlNode& root, TitleTags& t, ServerStatus& st) {
  return ReadText(root, "TITLE", t.title, st) && ReadText(root, "ARTIST", t.artist, st) &&
         ReadText(root, "ALBUM", t.album, st) && ReadNumber(root, "TRACK", t.track, st) &&
         ReadNumber(root, "YEAR", t.year, st) && ReadText(root, "GENRE", t.genre, st) &&
         ReadNumber(root, "BPM", t.bpm, st) && ReadNumber(root, "SYNPOS", t.synpos, st);
}

// The uploaded record: exactly one record, revision '5' or newer, an audio fingerprint whose
// series have the same length within the generator's limits.
ServerStatus ParseAfpPart(const std::string& base64, RAFP& afp) {
  std::string bytes;
  if (TrimBlanks(base64).empty()) return ServerStatus::BadRequest("AFPPART is missing or empty");
  if (!DecodeBase64(base64, bytes)) return ServerStatus::BadRequest("AFPPART is not valid Base64");
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (bytes.size() < 4 || p[0] != TAfpCacheBin::kRecStart) {
    return ServerStatus::BadRequest("AFPPART does not start a fingerprint record");
  }
  const std::size_t body = static_cast<std::size_t>(p[1]) | static_cast<std::size_t>(p[2]) << 8;
  if (body + 3 != bytes.size()) {
    return ServerStatus::BadRequest("AFPPART is not exactly one fingerprint record (length " +
                                    std::to_string(body + 3) + " announced, " +
                                    std::to_string(bytes.size()) + " bytes sent)");
  }
  if (p[bytes.size() - 1] != TAfpCacheBin::kRecStop) {
    return ServerStatus::BadRequest("AFPPART does not end its fingerprint record");
  }
  std::string fguid;
  char16_t rev = u'0';
  bool valid = false;
  try {
    valid = TAfpCacheBin::DecodeCacheRecord(std::span(p, bytes.size()), fguid, rev, afp);
  } catch (const std::exception& e) {
    return ServerStatus::BadRequest(std::string("AFPPART: ") + e.what());
  }
  if (!valid) return ServerStatus::BadRequest("AFPPART is not a complete fingerprint record");
  if (rev < u'5') return ServerStatus::BadRequest("AFPPART has a record revision below 5");
  if (afp.typ != AFPTypAudio)
    return ServerStatus::BadRequest("AFPPART is not an audio fingerprint");
  if (afp.p1.size() != afp.p2.size() || afp.p1.size() < AFPMinValues ||
      afp.p1.size() > AFPMaxValues) {
    return ServerStatus::BadRequest("AFPPART series must have the same length from " +
                                    std::to_string(AFPMinValues) + " to " +
                                    std::to_string(AFPMaxValues) + " values");
  }
  return ServerStatus::Ok();
}

TWebXmlNode TagAnswer(const TitleRow& title, const std::string& fguid, const int* rating) {
  TWebXmlNode root;
  root.Name = "remoteapi";
  const TitleTags& t = title.tags;
  root.Add("TITLE", t.title);
  root.Add("ARTIST", t.artist);
  root.Add("ALBUM", t.album);
  root.Add("TRACK", NumberText(t.track));
  root.Add("YEAR", NumberText(t.year));
  root.Add("GENRE", t.genre);
  root.Add("BPM", NumberText(t.bpm));
  root.Add("SYNPOS", NumberText(t.synpos));
  root.Add("FGUID", fguid);
  root.Add("TGUID", title.tguid);
  if (rating != nullptr) root.Add("RATING", std::to_string(*rating));
  return root;
}

struct OpenFile {
  int fd = -1;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool DecodeBase64(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size() / 4 * 3);
  unsigned value = 0;
  int bits = 0, chars = 0, fill = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=') {
      ++fill;
      ++chars;
      continue;
    } else {
      return false;
    }
    if (fill > 0) return false;  // nothing may follow the fill
    ++chars;
    value = (value << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  if (chars % 4 != 0 || fill > 2) return false;
  // The fill must stand for exactly the bits left over.
  if ((fill == 1 && bits != 2) || (fill == 2 && bits != 4) || (fill == 0 && bits != 0)) {
    return false;
  }
  return true;
}

ApiServer::ApiServer(ServerDb& db, ServerDb& build_db, CacheStore& cache, ApiOptions options)
    : FDb(db),
      FBuildDb(build_db),
      FCache(cache),
      FOptions(std::move(options)),
      FHttp(std::make_unique<httplib::Server>()) {}

ApiServer::~ApiServer() { Stop(); }

void ApiServer::Routes() {
  httplib::Server& http = *FHttp;
  http.set_payload_max_length(kMaxRequestBytes);
  // An answer leaves in two writes (head, then body); with Nagle's algorithm the body would wait
  // for the client's delayed acknowledgement of the head, 40 ms per answer.
  http.set_tcp_nodelay(true);
  // A busy client (or a proxy in front) sends its next request on the same connection.
  http.set_keep_alive_max_count(1000);
  const int threads = std::max(1, FOptions.threads);
  // The library owns (and deletes) the queue it is handed.
  http.new_task_queue = [threads] {
    return new httplib::ThreadPool(static_cast<std::size_t>(threads));
  };
  http.set_read_timeout(std::chrono::seconds(30));
  http.set_write_timeout(std::chrono::seconds(60));

  http.Get(R"(/(?:api/)?v2/getState\.php)",
           [this](const httplib::Request&, httplib::Response& res) {
             const ApiState st = FDb.GetState();
             TWebXmlNode root;
             root.Name = "apistate";
             root.Add("online", st.online ? "1" : "0");
             root.Add("message_de", st.message_de);
             root.Add("message_en", st.message_en);
             root.Add("client_minvers", st.client_minvers);
             Xml(res, root);
           });

  http.Get(R"(/(?:api/)?v2/getAFPCacheInf\.php)", [this](const httplib::Request& req,
                                                         httplib::Response& res) {
    std::string base;
    if (!FOptions.cache_url.empty()) {
      // The addresses do not depend on the request.
    } else if (!FOptions.public_url.empty()) {
      base = FOptions.public_url;
      while (!base.empty() && base.back() == '/') base.pop_back();
    } else {
      std::string host = req.get_header_value("Host");
      if (host.empty()) host = FOptions.host + ":" + std::to_string(FPort);
      if (!ValidHost(host)) {
        return Fail(res, ServerStatus::BadRequest("invalid Host header"));
      }
      base = "http://" + host;
    }
    const auto gen = FCache.Current();
    if (!gen) return Fail(res, ServerStatus::Internal("no cache files have been built yet"));
    TWebXmlNode root;
    root.Name = "afpcache";
    std::string dir = base + Prefix(req) + "afpcache/" + std::to_string(gen->number) + "/";
    if (!FOptions.cache_url.empty()) {
      std::string url = FOptions.cache_url;
      while (!url.empty() && url.back() == '/') url.pop_back();
      dir = url + "/" + std::filesystem::path(gen->dir).filename().string() + "/";
    }
    for (const CacheFileInfo& f : gen->files) {
      TWebXmlNode& file = root.Add("afpcachefile", dir + f.name);
      file.Attributes.emplace_back("size", std::to_string(f.size));
    }
    Xml(res, root);
  });

  http.Get(R"(/(?:api/)?v2/afpcache/([0-9]{1,12})/(afp[0-9]{4,6}\.afpbin))",
           [this](const httplib::Request& req, httplib::Response& res) {
             const auto gen = FCache.Find(std::stoll(req.matches[1].str()));
             const std::string name = req.matches[2].str();
             const CacheFileInfo* info = nullptr;
             if (gen) {
               for (const CacheFileInfo& f : gen->files) {
                 if (f.name == name) info = &f;
               }
             }
             if (info == nullptr) return Fail(res, ServerStatus::NotFound("no such cache file"));
             // The descriptor keeps the complete file readable even if its generation expires
             // while the download runs.
             auto file = std::make_shared<OpenFile>();
             file->fd = ::open((gen->dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
             struct stat st {};
             if (file->fd < 0 || ::fstat(file->fd, &st) != 0 || st.st_size != info->size) {
               return Fail(res, ServerStatus::NotFound("cache file no longer available"));
             }
             res.set_content_provider(
                 static_cast<std::size_t>(info->size), "application/octet-stream",
                 [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                   char buffer[65536];
                   const std::size_t n = std::min(length, sizeof buffer);
                   const ssize_t got = ::pread(file->fd, buffer, n, static_cast<off_t>(offset));
                   if (got <= 0) return false;
                   return sink.write(buffer, static_cast<std::size_t>(got));
                 });
           });

  http.Post(R"(/(?:api/)?v2/getAFPTag\.php)", [this](const httplib::Request& req,
                                                     httplib::Response& res) {
    TWebXmlNode request;
    std::string error;
    const auto* body = reinterpret_cast<const std::uint8_t*>(req.body.data());
    if (!WebXmlParse(std::span(body, req.body.size()), request, error)) {
      return Fail(res,
                  ServerStatus::BadRequest("the request is not a usable XML document: " + error));
    }
    if (request.Name != "remoteapi") {
      return Fail(res, ServerStatus::BadRequest("the request's root element must be <remoteapi>"));
    }
    const std::string function(TrimBlanks(request.ChildText("FUNCTION")));
    ServerStatus st;
    TitleTags tags;
    if (!ReadTags(request, tags, st)) return Fail(res, st);
    if (function == "A") {
      RAFP afp;
      st = ParseAfpPart(request.ChildText("AFPPART"), afp);
      if (!st.ok()) return Fail(res, st);
      AddResult added;
      st = FDb.AddFingerprint(afp, tags, added);
      if (!st.ok()) return Fail(res, st);
      Xml(res, TagAnswer(added.title, added.fguid, nullptr));
      {
        std::lock_guard lock(FStopLock);
        FAdded = true;
      }
      FStopCv.notify_all();  // the rebuild thread looks at the new fingerprint
    } else if (function == "U" || function == "T") {
      const std::string fguid = request.ChildText("FGUID");
      if (!ValidFguid(fguid)) {
        return Fail(res, ServerStatus::BadRequest("FGUID must be 30 printable ASCII characters"));
      }
      TitleRow title;
      st = FDb.MatchedTitle(fguid, tags, function == "U", title);
      if (!st.ok()) return Fail(res, st);
      Xml(res, TagAnswer(title, fguid, &title.rating));
    } else {
      Fail(res, ServerStatus::BadRequest("FUNCTION must be A, U or T"));
    }
  });

  http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    std::string text = "error " + std::to_string(res.status);
    if (res.status == 404) text = "no such address: " + req.path;
    if (res.status == 413) {
      text = "the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes";
    }
    res.set_content(text + "\n", "text/plain; charset=utf-8");
  });
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown error";
        try {
          std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        Fail(res, ServerStatus::Internal("internal error: " + what));
      });
  if (FOptions.access_log) {
    http.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::cerr << req.remote_addr << ' ' << req.method << ' ' << req.path << ' ' << res.status
                << '\n';
    });
  }
}

ServerStatus ApiServer::Start() {
  Routes();
  if (FOptions.port == 0) {
    FPort = FHttp->bind_to_any_port(FOptions.host);
    if (FPort <= 0) return ServerStatus::Internal("cannot listen on " + FOptions.host);
  } else {
    if (!FHttp->bind_to_port(FOptions.host, FOptions.port)) {
      return ServerStatus::Internal("cannot listen on " + FOptions.host + ":" +
                                    std::to_string(FOptions.port));
    }
    FPort = FOptions.port;
  }
  FStarted = true;
  FListenThread = std::thread([this] { FHttp->listen_after_bind(); });
  FRebuildThread = std::thread([this] { RebuildLoop(); });
  return ServerStatus::Ok();
}

void ApiServer::RebuildLoop() {
  auto last = std::chrono::steady_clock::now();
  std::unique_lock lock(FStopLock);
  while (!FStopping) {
    // Also polls, so that imports and builds of other processes are noticed.
    FStopCv.wait_for(lock, std::chrono::seconds(2), [this] { return FStopping || FAdded; });
    if (FStopping) break;
    FAdded = false;
    if (std::chrono::steady_clock::now() - last < FOptions.rebuild_interval) continue;
    lock.unlock();
    if (FCache.Outdated(FBuildDb)) {
      CacheBuildReport report;
      // Another server process building right now publishes these additions too, or leaves
      // them for the next poll; waiting for it would only hold up Stop.
      const ServerStatus st = FCache.Build(FBuildDb, false, report, false);
      if (st.ok() && report.busy) {
        lock.lock();
        continue;
      }
      last = std::chrono::steady_clock::now();
      if (!st.ok()) {
        std::cerr << "melodyseeker-server: " << st.message << '\n';
      } else if (report.built) {
        ++FRebuilds;
        if (FOptions.access_log) {
          std::cerr << "cache generation " << report.generation << ": " << report.records
                    << " records in " << report.files << " files\n";
        }
      }
    }
    lock.lock();
  }
}

void ApiServer::Stop() {
  {
    std::lock_guard lock(FStopLock);
    FStopping = true;
  }
  FStopCv.notify_all();
  if (!FStarted) return;
  FHttp->stop();
  if (FListenThread.joinable()) FListenThread.join();
  if (FRebuildThread.joinable()) FRebuildThread.join();
}
