// Writes tagged WAV tracks for the web service's import benchmark (bench/server_bench.sh).
//
//   server_bench DIR FIRST COUNT [SECONDS]
//
// Track k (FIRST <= k < FIRST + COUNT) is SECONDS (default 30) of 22,050 Hz 16-bit mono: a
// chord whose root, tempo and accents follow k, struck on every beat, swelling over a phrase,
// so that every track has its own fingerprint. A LIST/INFO chunk names it "Bench Track k" by
// "Bench Artist k/10", which the import reads with the tag library.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

void Put32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i) & 0xFF);
}
void Put16(std::string& s, std::uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void InfoText(std::string& list, const char* id, const std::string& text) {
  const std::string value = text + '\0';
  list += id;
  Put32(list, static_cast<std::uint32_t>(value.size()));  // the pad byte is not counted
  list += value;
  if (value.size() % 2 != 0) list += '\0';
}

bool WriteTrack(const std::string& path, long k, int seconds) {
  constexpr int kRate = 22050;
  const double pi = std::acos(-1.0);
  std::uint32_t x = static_cast<std::uint32_t>(k) * 2654435761u + 7u;
  const auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
  const double root = 110.0 + next() % 330;
  const double beat = 60.0 / (70.0 + (next() % 8000) / 100.0);
  const double phrase = 4.0 + (next() % 9000) / 1000.0;
  // Accents of a 16-beat pattern: the loudness curve, and so the fingerprint, of every track
  // differs even where tempo and phrase come close.
  double accent[16];
  for (double& a : accent) a = 0.4 + (next() % 600) / 1000.0;
  const double steps[4] = {1.0, 1.335, 1.5, 1.68};
  const std::size_t n = static_cast<std::size_t>(kRate) * seconds;
  std::string data;
  data.reserve(n * 2);
  double phase = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double f = root * steps[static_cast<int>(t / (beat * 4)) % 4];
    phase += 2 * pi * f / kRate;
    const double tone =
        0.35 * std::sin(phase) + 0.2 * std::sin(1.5 * phase) + 0.12 * std::sin(2 * phase);
    const double env = accent[static_cast<int>(t / beat) % 16] *
                       (0.35 + 0.65 * std::exp(-6 * std::fmod(t, beat))) *
                       (0.6 + 0.4 * std::sin(2 * pi * t / phrase));
    Put16(data,
          static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lrint(tone * env * 30000))));
  }
  std::string list = "INFO";
  InfoText(list, "INAM", "Bench Track " + std::to_string(k));
  InfoText(list, "IART", "Bench Artist " + std::to_string(k / 10));
  std::string wav = "RIFF";
  Put32(wav, static_cast<std::uint32_t>(4 + 8 + 16 + 8 + list.size() + 8 + data.size()));
  wav += "WAVEfmt ";
  Put32(wav, 16);
  Put16(wav, 1);
  Put16(wav, 1);
  Put32(wav, kRate);
  Put32(wav, kRate * 2);
  Put16(wav, 2);
  Put16(wav, 16);
  wav += "LIST";
  Put32(wav, static_cast<std::uint32_t>(list.size()));
  wav += list;
  wav += "data";
  Put32(wav, static_cast<std::uint32_t>(data.size()));
  wav += data;
  std::ofstream out(path, std::ios::binary);
  out.write(wav.data(), static_cast<std::streamsize>(wav.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: server_bench DIR FIRST COUNT [SECONDS]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const long first = std::atol(argv[2]), count = std::atol(argv[3]);
  const int seconds = argc > 4 ? std::atoi(argv[4]) : 30;
  for (long k = first; k < first + count; ++k) {
    char name[64];
    std::snprintf(name, sizeof name, "/track%05ld.wav", k);
    if (!WriteTrack(dir + name, k, seconds)) {
      std::fprintf(stderr, "server_bench: cannot write %s%s\n", dir.c_str(), name);
      return 1;
    }
  }
  return 0;
}
