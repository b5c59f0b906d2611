#pragma once
// Audio fixtures for the fingerprint engine's tests, made in code: WAV files of any layout, a
// deterministic music-like signal, a per-test temporary directory and ffmpeg runs.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "os/os_api_unit.h"

namespace afptest {

inline void PutLE(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A canonical 44-byte-header WAV. `frames` holds one value per channel per frame, interleaved;
// 8-bit values are stored as given (0..255), 16- and 24-bit as signed.
inline std::vector<std::uint8_t> MakeWav(int channels, int rate, int bits,
                                         const std::vector<int>& samples,
                                         std::uint16_t format_tag = 1) {
  const int bytes = bits / 8;
  const std::uint32_t data = static_cast<std::uint32_t>(samples.size() * bytes);
  std::vector<std::uint8_t> out;
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  PutLE(out, 36 + data, 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLE(out, 16, 4);
  PutLE(out, format_tag, 2);
  PutLE(out, static_cast<std::uint32_t>(channels), 2);
  PutLE(out, static_cast<std::uint32_t>(rate), 4);
  PutLE(out, static_cast<std::uint32_t>(rate * channels * bytes), 4);
  PutLE(out, static_cast<std::uint32_t>(channels * bytes), 2);
  PutLE(out, static_cast<std::uint32_t>(bits), 2);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  PutLE(out, data, 4);
  for (int s : samples) PutLE(out, static_cast<std::uint32_t>(s), bytes);
  return out;
}

// A music-like mono signal: notes of changing pitch and loudness with attack/decay, a bass
// line and noise bursts on the beat. Deterministic.
inline std::vector<int> MusicLike(int rate, double seconds, std::uint32_t seed = 12345) {
  std::vector<int> out(static_cast<std::size_t>(rate * seconds));
  std::uint32_t lcg = seed;
  auto next = [&lcg] {
    lcg = lcg * 1664525u + 1013904223u;
    return lcg >> 8;
  };
  const int note_len = rate * 3 / 10;
  double f1 = 440, f2 = 110, amp = 0.5;
  double ph1 = 0, ph2 = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int in_note = static_cast<int>(i % static_cast<std::size_t>(note_len));
    if (in_note == 0) {
      f1 = 220.0 * std::pow(2.0, static_cast<double>(next() % 24) / 12.0);
      f2 = 55.0 * std::pow(2.0, static_cast<double>(next() % 12) / 12.0);
      amp = 0.25 + static_cast<double>(next() % 1000) / 1500.0;
    }
    const double env = std::exp(-3.0 * in_note / note_len);
    ph1 += 2 * M_PI * f1 / rate;
    ph2 += 2 * M_PI * f2 / rate;
    double v = amp * env * (std::sin(ph1) + 0.3 * std::sin(3 * ph1)) + 0.35 * std::sin(ph2);
    if (in_note < rate / 40) v += (static_cast<double>(next() % 2001) - 1000.0) / 2500.0;
    out[i] = static_cast<int>(std::lround(std::clamp(v, -1.0, 1.0) * 14000.0));
  }
  return out;
}

// Interleaves a mono signal into `channels` channels (the others carry a different signal, so a
// reader that mixes or picks the wrong channel shows).
inline std::vector<int> Interleave(const std::vector<int>& left, int channels) {
  std::vector<int> out;
  out.reserve(left.size() * channels);
  for (std::size_t i = 0; i < left.size(); ++i) {
    out.push_back(left[i]);
    for (int c = 1; c < channels; ++c) out.push_back(-left[i] / 3 + static_cast<int>(i % 97) * 10);
  }
  return out;
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "afptest.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    fPath = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return fPath + "/" + name; }
  const std::string& path() const { return fPath; }

 private:
  std::string fPath;
};

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs ffmpeg quietly with `args` (input/output included); fails the test when it fails.
inline void Ffmpeg(const std::vector<std::string>& args) {
  TCommandArgs cmd{"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  cmd.insert(cmd.end(), args.begin(), args.end());
  std::string error;
  ASSERT_TRUE(RunProcess(cmd, 60000, error)) << error;
}

}  // namespace afptest

namespace afptest {

// Integer-only music-like signal (triangle notes with a linear decay, a square bass, noise on
// the beat), so that a golden fingerprint of it does not depend on the maths library.
inline std::vector<int> IntegerMusic(int rate, int seconds, std::uint32_t seed = 4711) {
  std::vector<int> out(static_cast<std::size_t>(rate) * seconds);
  std::uint32_t lcg = seed;
  auto next = [&lcg] {
    lcg = lcg * 1664525u + 1013904223u;
    return lcg >> 8;
  };
  const int note_len = rate * 3 / 10;
  int period = 100, bass = 400, amp = 8000;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int t = static_cast<int>(i % static_cast<std::size_t>(note_len));
    if (t == 0) {
      period = 20 + static_cast<int>(next() % 180);
      bass = 300 + static_cast<int>(next() % 500);
      amp = 3000 + static_cast<int>(next() % 9000);
    }
    const int ph = static_cast<int>(i % static_cast<std::size_t>(period));
    const int tri = (ph < period / 2 ? ph : period - ph) * 4000 / period - 1000;  // -1000..1000
    const int env = amp * (note_len - t) / note_len;
    int v = tri * env / 1000;
    v += (static_cast<int>(i) / bass) % 2 == 0 ? 2500 : -2500;
    if (t < rate / 40) v += static_cast<int>(next() % 8001) - 4000;
    out[i] = std::clamp(v, -32768, 32767);
  }
  return out;
}

}  // namespace afptest
