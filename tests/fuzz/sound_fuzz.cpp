// Any sound file: WAV (PCM and Microsoft ADPCM) and Ogg Vorbis are opened as
// the sound slots open them and decoded in pieces to the end (bounded), with
// the stream moved back to its start on the way, as a repeating slot does.
#include "audio/sound_decoding.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  const std::string path = WriteFuzzFile("sound.wav", data, size);
  SoundSource source{};
  if (!OpenSoundSource(path.c_str(), source)) return 0;
  uint8_t buffer[8192];
  uint32_t real = 0;
  for (int piece = 0; piece < 64; ++piece) {
    DecodeSound(source, buffer, sizeof buffer, &real);
    if (real < sizeof buffer) break;
  }
  if (source.is_ogg) {
    SeekVorbis(source, 0);
    FindVorbisComment(source, "COMMENT=");
  }
  DecodeSound(source, buffer, 1000, &real);
  CloseSoundSource(source);
  return 0;
}
