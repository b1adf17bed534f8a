// wav_level FILE.wav FROM_MS TO_MS [MIN_DB]: prints the loudness (RMS, in
// dB below full scale) of a 16-bit PCM WAV between two times; exit status 0
// when it is above MIN_DB (default -50), 1 when quieter or the span is not
// in the file, 2 when the file cannot be read.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

uint32_t Read32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}
uint16_t Read16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: wav_level FILE.wav FROM_MS TO_MS [MIN_DB]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || Read32(b, 0) != 0x46464952 || Read32(b, 8) != 0x45564157) {
    std::fprintf(stderr, "wav_level: %s is not a WAV file\n", argv[1]);
    return 2;
  }
  uint16_t channels = 0, bits = 0;
  uint32_t rate = 0;
  size_t data = 0, data_size = 0;
  for (size_t at = 12; at + 8 <= b.size();) {
    uint32_t id = Read32(b, at), size = Read32(b, at + 4);
    size_t body = at + 8, avail = b.size() - body;
    if (id == 0x20746D66 && size >= 16 && avail >= 16) {  // "fmt "
      channels = Read16(b, body + 2);
      rate = Read32(b, body + 4);
      bits = Read16(b, body + 14);
    } else if (id == 0x61746164) {  // "data"
      data = body;
      data_size = size < avail ? size : avail;
      break;
    }
    if (size > avail) break;
    at = body + size + (size & 1);
  }
  if (data == 0 || bits != 16 || channels == 0 || rate == 0) {
    std::fprintf(stderr, "wav_level: %s holds no 16-bit PCM data\n", argv[1]);
    return 2;
  }
  size_t frame_bytes = 2u * channels, frames = data_size / frame_bytes;
  size_t from = static_cast<size_t>(std::atoll(argv[2])) * rate / 1000;
  size_t to = static_cast<size_t>(std::atoll(argv[3])) * rate / 1000;
  double min_db = argc > 4 ? std::atof(argv[4]) : -50.0;
  if (to > frames) to = frames;
  if (from >= to) {
    std::printf("wav_level: %s is %zu ms long; nothing between %s and %s ms\n", argv[1], frames * 1000 / rate,
                argv[2], argv[3]);
    return 1;
  }
  double sum = 0;
  for (size_t f = from; f < to; ++f) {
    for (uint16_t c = 0; c < channels; ++c) {
      double v = static_cast<int16_t>(Read16(b, data + f * frame_bytes + 2u * c)) / 32768.0;
      sum += v * v;
    }
  }
  double rms = std::sqrt(sum / double((to - from) * channels));
  double db = rms > 0 ? 20 * std::log10(rms) : -200.0;
  std::printf("wav_level: %s from %s to %s ms: %.1f dB\n", argv[1], argv[2], argv[3], db);
  return db > min_db ? 0 : 1;
}
