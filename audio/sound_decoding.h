// Sound files in memory: a SoundSource holds one whole coded file (Ogg
// Vorbis, RIFF WAVE with PCM, or RIFF WAVE with Microsoft ADPCM) and turns it
// into PCM on request. The sound slots decode a static sound once with a
// temporary source and keep one source per streaming slot.
#pragma once
#include <cstdint>

struct OggVorbis_File;

enum : uint16_t { kWaveFormatPcm = 1, kWaveFormatAdpcm = 2 };

struct SoundSource {
  int32_t is_ogg = 0;
  OggVorbis_File* vorbis = nullptr;  // Ogg only
  uint16_t channels = 0;             // Ogg only
  uint32_t rate = 0;                 // Ogg only
  uint32_t total_samples = 0;        // Ogg only; 0 when the stream does not tell

  uint8_t* block = nullptr;  // the whole file, owned
  uint32_t block_size = 0;
  uint32_t read_pointer = 0;  // Ogg only: where the memory callbacks read next

  // WAV only: the fmt chunk's fields (the payload stays in the block) and the
  // data chunk's payload.
  const uint8_t* format = nullptr;
  uint32_t format_size = 0;
  uint16_t format_tag = 0, wav_channels = 0, block_align = 0, bits = 0;
  uint32_t wav_rate = 0, bytes_per_second = 0;
  uint16_t samples_per_block = 0, coefficient_count = 0;
  const uint8_t* coefficients = nullptr;  // coefficient_count pairs of 16-bit words
  const uint8_t* data = nullptr;          // for Ogg the whole block
  uint32_t data_size = 0;

  uint32_t decode_offset = 0;  // WAV: offset in the decoded PCM of the next byte
  uint32_t start_offset = 0;   // decoded byte offset of the last position set
  uint32_t loop_start = 0;     // decoded byte offset a repeating stream continues at

  // Microsoft ADPCM: one decoded block and how many of its bytes are unread.
  uint32_t adpcm_block_size = 0;
  uint8_t* adpcm_buffer = nullptr;
  uint32_t adpcm_left = 0;
};

// Reads the whole file through OpenExpFile and opens it. 1 ready, 0 failed
// (nothing left allocated, no message). `source` must be zeroed.
int OpenSoundSource(const char* path, SoundSource& source);
// The same for a file already in memory: `block` (from malloc) becomes the
// source's own block on success and is freed on failure.
int OpenSoundSourceFromBlock(uint8_t* block, uint32_t size, SoundSource& source);
// Fills count bytes at destination; *real (when given) receives how many of
// them are sound, the rest being silence. Returns 1.
int DecodeSound(SoundSource& source, uint8_t* destination, uint32_t count, uint32_t* real = nullptr);
// Closes the vorbis stream and frees the block and the ADPCM buffer; the
// source is zeroed again. Returns 1.
int CloseSoundSource(SoundSource& source);

// Ogg: moves the vorbis stream to a sample. False when it cannot.
bool SeekVorbis(SoundSource& source, uint32_t sample);
// Ogg: the value of the first comment that begins with `prefix`, or null.
const char* FindVorbisComment(SoundSource& source, const char* prefix);

// The PCM the source delivers and the sizes derived from it.
uint16_t DecodedChannels(const SoundSource& s);
uint32_t DecodedRate(const SoundSource& s);
uint16_t DecodedBits(const SoundSource& s);  // 16 for Ogg and ADPCM, the file's for PCM
uint32_t DecodedBytesPerSecond(const SoundSource& s);
uint32_t DecodedFrameSize(const SoundSource& s);
// Bytes of PCM the whole file decodes to (64 bits: a hostile ADPCM header
// can promise more than 4 GiB).
uint64_t DecodedLength(const SoundSource& s);
// Length in milliseconds; 0 for a format that has none.
uint32_t SoundLengthMs(const SoundSource& s);
