#include "audio/sound_decoding.h"

#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "files/file_layer.h"

namespace {

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Read32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// ---- Ogg Vorbis over the block in memory ----

size_t MemoryRead(void* ptr, size_t size, size_t count, void* user) {
  auto* s = static_cast<SoundSource*>(user);
  if (!s->block || size == 0) return 0;
  size_t left = s->block_size - s->read_pointer;
  size_t items = std::min(count, left / size);
  std::memcpy(ptr, s->block + s->read_pointer, items * size);
  s->read_pointer += static_cast<uint32_t>(items * size);
  return items;
}

int MemorySeek(void* user, ogg_int64_t offset, int origin) {
  auto* s = static_cast<SoundSource*>(user);
  ogg_int64_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? s->read_pointer : s->block_size;
  if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) return -1;
  ogg_int64_t target = base + offset;
  if (target < 0 || target > s->block_size) return -1;
  s->read_pointer = static_cast<uint32_t>(target);
  return 0;
}

long MemoryTell(void* user) {
  auto* s = static_cast<SoundSource*>(user);
  return s->block ? static_cast<long>(s->read_pointer) : -1;
}

int MemoryClose(void*) { return 0; }

bool OpenOgg(SoundSource& s) {
  s.vorbis = new (std::nothrow) OggVorbis_File;
  if (!s.vorbis) return false;
  ov_callbacks callbacks{MemoryRead, MemorySeek, MemoryClose, MemoryTell};
  s.read_pointer = 0;
  if (ov_open_callbacks(&s, s.vorbis, nullptr, 0, callbacks) != 0) {
    delete s.vorbis;  // a failed open has cleared what it made
    s.vorbis = nullptr;
    return false;
  }
  vorbis_info* info = ov_info(s.vorbis, -1);
  if (!info || info->channels < 1 || info->channels > 8 || info->rate < 1 || info->rate > 384000) {
    ov_clear(s.vorbis);
    delete s.vorbis;
    s.vorbis = nullptr;
    return false;
  }
  s.is_ogg = 1;
  s.channels = static_cast<uint16_t>(info->channels);
  s.rate = static_cast<uint32_t>(info->rate);
  ogg_int64_t total = ov_pcm_total(s.vorbis, -1);
  s.total_samples = total < 0 || total > 0x7FFFFFFF ? 0 : static_cast<uint32_t>(total);
  s.data = s.block;
  s.data_size = s.block_size;
  return true;
}

// ---- RIFF WAVE ----

// One chunk: its id and payload, which lies wholly inside its parent.
struct Chunk {
  uint32_t id = 0;
  const uint8_t* payload = nullptr;
  uint32_t size = 0;
};

constexpr uint32_t FourCc(const char (&s)[5]) {
  return static_cast<uint8_t>(s[0]) | static_cast<uint8_t>(s[1]) << 8 | static_cast<uint8_t>(s[2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

// Finds the first chunk `id` among the chunks from `at` to `end`; a chunk
// whose size passes the end stops the search (the file is broken). On
// success `at` moves past the chunk (and its pad byte).
bool FindChunk(const uint8_t*& at, const uint8_t* end, uint32_t id, Chunk& found) {
  while (end - at >= 8) {
    uint32_t chunk_id = Read32(at);
    uint32_t size = Read32(at + 4);
    const uint8_t* payload = at + 8;
    if (size > static_cast<size_t>(end - payload)) return false;
    const uint8_t* next = payload + size;
    if ((size & 1) && next < end) ++next;  // chunks are word-aligned
    at = next;
    if (chunk_id == id) {
      found = {chunk_id, payload, size};
      return true;
    }
  }
  return false;
}

bool ReadFormat(SoundSource& s, const Chunk& fmt) {
  if (fmt.size < 16) return false;
  const uint8_t* f = fmt.payload;
  s.format = f;
  s.format_size = fmt.size;
  s.format_tag = Read16(f);
  s.wav_channels = Read16(f + 2);
  s.wav_rate = Read32(f + 4);
  s.bytes_per_second = Read32(f + 8);
  s.block_align = Read16(f + 12);
  s.bits = Read16(f + 14);
  if (s.wav_channels < 1 || s.wav_channels > 8 || s.wav_rate < 1 || s.wav_rate > 384000) return false;
  if (s.format_tag == kWaveFormatPcm) {
    if (s.bits != 8 && s.bits != 16) return false;
    if (s.block_align != s.wav_channels * s.bits / 8 || s.bytes_per_second == 0) return false;
    return true;
  }
  if (s.format_tag != kWaveFormatAdpcm) return false;
  // The extension: its size, samples per block, coefficient count, pairs.
  if (fmt.size < 22 || s.wav_channels > 2) return false;
  uint16_t extra = Read16(f + 16);
  s.samples_per_block = Read16(f + 18);
  s.coefficient_count = Read16(f + 20);
  s.coefficients = f + 22;
  if (extra < 4 || s.coefficient_count < 1 || 22u + 4u * s.coefficient_count > fmt.size) return false;
  // A block holds a 7-byte header per channel (two samples each) and then
  // one nibble per further sample; the samples per block must be what the
  // block align holds, which also bounds a hostile block align.
  uint32_t header = 7u * s.wav_channels;
  if (s.block_align < header) return false;
  if (s.samples_per_block != 2 + (s.block_align - header) * 2 / s.wav_channels) return false;
  s.adpcm_block_size = s.samples_per_block * s.wav_channels * 2u;
  s.adpcm_buffer = static_cast<uint8_t*>(std::malloc(s.adpcm_block_size));
  return s.adpcm_buffer != nullptr;
}

bool OpenWave(SoundSource& s) {
  const uint8_t* at = s.block;
  const uint8_t* end = s.block + s.block_size;
  Chunk riff;
  // The RIFF chunk of form WAVE, then fmt and data inside it.
  for (;;) {
    if (!FindChunk(at, end, FourCc("RIFF"), riff)) return false;
    if (riff.size >= 4 && Read32(riff.payload) == FourCc("WAVE")) break;
  }
  const uint8_t* inner = riff.payload + 4;
  const uint8_t* inner_end = riff.payload + riff.size;
  Chunk fmt, data;
  if (!FindChunk(inner, inner_end, FourCc("fmt "), fmt) || !ReadFormat(s, fmt)) return false;
  if (!FindChunk(inner, inner_end, FourCc("data"), data)) return false;
  s.data = data.payload;
  s.data_size = data.size;
  return true;
}

// ---- Microsoft ADPCM ----

constexpr int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};

// Decodes the block at `in` (block_align bytes) into the source's buffer.
void DecodeAdpcmBlock(SoundSource& s, const uint8_t* in) {
  const int channels = s.wav_channels;
  int coefficient1[2], coefficient2[2], delta[2], sample1[2], sample2[2];
  const uint8_t* p = in;
  for (int c = 0; c < channels; ++c) {
    int index = std::min<int>(*p++, s.coefficient_count - 1);
    coefficient1[c] = static_cast<int16_t>(Read16(s.coefficients + 4 * index));
    coefficient2[c] = static_cast<int16_t>(Read16(s.coefficients + 4 * index + 2));
  }
  for (int c = 0; c < channels; ++c, p += 2) delta[c] = static_cast<int16_t>(Read16(p));
  for (int c = 0; c < channels; ++c, p += 2) sample1[c] = static_cast<int16_t>(Read16(p));
  for (int c = 0; c < channels; ++c, p += 2) sample2[c] = static_cast<int16_t>(Read16(p));
  auto* out = reinterpret_cast<int16_t*>(s.adpcm_buffer);
  for (int c = 0; c < channels; ++c) *out++ = static_cast<int16_t>(sample2[c]);
  for (int c = 0; c < channels; ++c) *out++ = static_cast<int16_t>(sample1[c]);
  uint32_t codes = (s.samples_per_block - 2u) * channels;
  int c = 0;
  for (uint32_t n = 0; n < codes; ++n) {
    int nibble = n & 1 ? p[n >> 1] & 15 : p[n >> 1] >> 4;
    int code = nibble >= 8 ? nibble - 16 : nibble;
    int predicted = (sample1[c] * coefficient1[c] + sample2[c] * coefficient2[c]) >> 8;
    int sample = std::clamp(predicted + code * delta[c], -32768, 32767);
    // A hostile block can grow the delta without end: it stops where the
    // next product still fits.
    delta[c] = std::clamp(delta[c] * kAdaptation[nibble] >> 8, 16, INT_MAX / 768);
    sample2[c] = sample1[c];
    sample1[c] = sample;
    *out++ = static_cast<int16_t>(sample);
    if (++c == channels) c = 0;
  }
}

uint32_t DecodeAdpcm(SoundSource& s, uint8_t* out, uint32_t count) {
  uint32_t done = 0;
  while (count - done >= 2) {
    if (s.adpcm_left == 0) {
      uint64_t number = s.decode_offset / s.adpcm_block_size;
      uint64_t start = number * s.block_align;
      if (start + s.block_align > s.data_size) break;
      DecodeAdpcmBlock(s, s.data + start);
      s.adpcm_left = s.adpcm_block_size - s.decode_offset % s.adpcm_block_size;
    }
    uint32_t n = std::min((count - done) & ~1u, s.adpcm_left);
    std::memcpy(out + done, s.adpcm_buffer + (s.adpcm_block_size - s.adpcm_left), n);
    done += n;
    s.adpcm_left -= n;
    s.decode_offset += n;
  }
  return done;
}

uint32_t DecodeOgg(SoundSource& s, uint8_t* out, uint32_t count) {
  uint32_t done = 0;
  int holes = 0;
  while (done < count) {
    int section = 0;
    long n = ov_read(s.vorbis, reinterpret_cast<char*>(out + done), static_cast<int>(std::min(count - done, 1u << 20)),
                     0, 2, 1, &section);
    if (n == 0) break;
    if (n < 0) {
      // A hole in the stream is skipped; a stream that yields nothing else
      // is at its end.
      if (++holes > 64) break;
      continue;
    }
    holes = 0;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

}  // namespace

int OpenSoundSourceFromBlock(uint8_t* block, uint32_t size, SoundSource& source) {
  source = SoundSource{};
  source.block = block;
  source.block_size = size;
  bool opened = size >= 4 && std::memcmp(block, "OggS", 4) == 0 ? OpenOgg(source) : OpenWave(source);
  if (!opened) {
    CloseSoundSource(source);
    return 0;
  }
  return 1;
}

int OpenSoundSource(const char* path, SoundSource& source) {
  source = SoundSource{};
  if (!path || !*path) return 0;
  ExpFile* file = OpenExpFile(path);
  if (!file) return 0;
  int32_t size = GetExpFileSize(file);
  uint8_t* block = size > 0 ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))) : nullptr;
  uint32_t read = 0;
  bool ok = block && ReadExpFile(file, block, static_cast<uint32_t>(size), &read) && read == static_cast<uint32_t>(size);
  CloseExpFile(file);
  if (!ok) {
    std::free(block);
    return 0;
  }
  return OpenSoundSourceFromBlock(block, static_cast<uint32_t>(size), source);
}

int DecodeSound(SoundSource& s, uint8_t* destination, uint32_t count, uint32_t* real) {
  uint32_t done = 0;
  uint8_t silence = 0;
  if (s.is_ogg) {
    done = DecodeOgg(s, destination, count);
  } else if (s.format_tag == kWaveFormatAdpcm) {
    done = DecodeAdpcm(s, destination, count);
  } else if (s.format_tag == kWaveFormatPcm) {
    if (s.bits == 8) silence = 128;
    uint32_t left = s.decode_offset < s.data_size ? s.data_size - s.decode_offset : 0;
    done = std::min(count, left);
    std::memcpy(destination, s.data + s.decode_offset, done);
    s.decode_offset += done;
  }
  std::memset(destination + done, silence, count - done);
  if (real) *real = done;
  return 1;
}

int CloseSoundSource(SoundSource& s) {
  if (s.vorbis) {
    ov_clear(s.vorbis);
    delete s.vorbis;
  }
  std::free(s.block);
  std::free(s.adpcm_buffer);
  s = SoundSource{};
  return 1;
}

bool SeekVorbis(SoundSource& s, uint32_t sample) { return s.is_ogg && ov_pcm_seek(s.vorbis, sample) == 0; }

const char* FindVorbisComment(SoundSource& s, const char* prefix) {
  if (!s.is_ogg) return nullptr;
  vorbis_comment* comments = ov_comment(s.vorbis, -1);
  if (!comments) return nullptr;
  size_t length = std::strlen(prefix);
  for (int i = 0; i < comments->comments; ++i) {
    const char* text = comments->user_comments[i];
    if (text && comments->comment_lengths[i] >= static_cast<int>(length) && std::memcmp(text, prefix, length) == 0)
      return text + length;
  }
  return nullptr;
}

uint16_t DecodedChannels(const SoundSource& s) { return s.is_ogg ? s.channels : s.wav_channels; }
uint32_t DecodedRate(const SoundSource& s) { return s.is_ogg ? s.rate : s.wav_rate; }
uint16_t DecodedBits(const SoundSource& s) { return s.is_ogg || s.format_tag == kWaveFormatAdpcm ? 16 : s.bits; }

uint32_t DecodedBytesPerSecond(const SoundSource& s) {
  if (s.format_tag == kWaveFormatPcm && !s.is_ogg) return s.bytes_per_second;
  return DecodedRate(s) * DecodedChannels(s) * 2u;
}

uint32_t DecodedFrameSize(const SoundSource& s) { return DecodedChannels(s) * DecodedBits(s) / 8u; }

uint64_t DecodedLength(const SoundSource& s) {
  if (s.is_ogg) return uint64_t{s.channels} * 2 * s.total_samples;
  if (s.format_tag == kWaveFormatAdpcm) return uint64_t{s.data_size / s.block_align} * s.adpcm_block_size;
  return s.data_size;
}

uint32_t SoundLengthMs(const SoundSource& s) {
  uint64_t frames;
  if (s.is_ogg) {
    frames = s.total_samples;
  } else if (s.format_tag == kWaveFormatPcm) {
    frames = s.data_size / DecodedFrameSize(s);
  } else if (s.format_tag == kWaveFormatAdpcm) {
    frames = uint64_t{s.data_size / s.block_align} * s.samples_per_block;
  } else {
    return 0;
  }
  uint32_t rate = DecodedRate(s);
  return rate ? static_cast<uint32_t>(frames * 1000 / rate) : 0;
}
