// Audio files decoded a block at a time (WAV, FLAC, Ogg Vorbis, Opus, MP3 and
// whatever else the decoder library knows), as stereo float frames at the
// mixer's rate. Used for the tracks of the virtual disc.
#pragma once
#include <cstdint>
#include <string>

struct AudioFileInfo {
  uint64_t frames = 0;
  uint32_t rate = 0;
  int channels = 0;
  uint32_t Seconds() const { return rate ? static_cast<uint32_t>(frames / rate) : 0; }
};
// Reads the file's header. False when it is not an audio file we can decode.
bool ProbeAudioFile(const std::string& host_path, AudioFileInfo& info);

struct AudioFileStream;
// Opens the file for decoding into stereo frames at `rate`; null when it
// cannot be decoded.
AudioFileStream* OpenAudioFileStream(const std::string& host_path, uint32_t rate);
// Up to `frames` frames (interleaved left/right); fewer only at the end of
// the file (0 then, or on a read error).
uint32_t ReadAudioFileStream(AudioFileStream* stream, float* stereo, uint32_t frames);
void CloseAudioFileStream(AudioFileStream* stream);
