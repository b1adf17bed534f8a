#include "platform/audio_file_stream.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <vector>

struct AudioFileStream {
  SNDFILE* file = nullptr;
  SF_INFO info{};
  SRC_STATE* resampler = nullptr;  // none when the rates match
  double ratio = 1;
  std::vector<float> raw;     // the file's frames, its own channel count
  std::vector<float> stereo;  // the same, as stereo
  size_t stereo_at = 0, stereo_frames = 0;
  bool end_of_file = false;
};

namespace {

constexpr uint32_t kBlockFrames = 2048;

// Refills s.stereo from the file; false at the end.
bool DecodeBlock(AudioFileStream& s) {
  if (s.end_of_file) return false;
  int channels = s.info.channels;
  s.raw.resize(static_cast<size_t>(kBlockFrames) * channels);
  sf_count_t got = sf_readf_float(s.file, s.raw.data(), kBlockFrames);
  if (got <= 0) {
    s.end_of_file = true;
    return false;
  }
  s.stereo.resize(static_cast<size_t>(got) * 2);
  for (sf_count_t i = 0; i < got; ++i) {
    const float* frame = &s.raw[static_cast<size_t>(i) * channels];
    s.stereo[2 * i] = frame[0];
    s.stereo[2 * i + 1] = channels > 1 ? frame[1] : frame[0];
  }
  s.stereo_at = 0;
  s.stereo_frames = static_cast<size_t>(got);
  return true;
}

}  // namespace

bool ProbeAudioFile(const std::string& host_path, AudioFileInfo& info) {
  SF_INFO sf{};
  SNDFILE* file = sf_open(host_path.c_str(), SFM_READ, &sf);
  if (!file) return false;
  sf_close(file);
  if (sf.channels <= 0 || sf.samplerate <= 0 || sf.frames < 0) return false;
  info.frames = static_cast<uint64_t>(sf.frames);
  info.rate = static_cast<uint32_t>(sf.samplerate);
  info.channels = sf.channels;
  return true;
}

AudioFileStream* OpenAudioFileStream(const std::string& host_path, uint32_t rate) {
  auto* s = new AudioFileStream;
  s->file = sf_open(host_path.c_str(), SFM_READ, &s->info);
  if (!s->file || s->info.channels <= 0 || s->info.channels > 64 || s->info.samplerate <= 0 || rate == 0) {
    CloseAudioFileStream(s);
    return nullptr;
  }
  if (static_cast<uint32_t>(s->info.samplerate) != rate) {
    s->ratio = static_cast<double>(rate) / s->info.samplerate;
    int error = 0;
    if (s->ratio > 256 || s->ratio < 1.0 / 256 || !(s->resampler = src_new(SRC_SINC_FASTEST, 2, &error))) {
      CloseAudioFileStream(s);
      return nullptr;
    }
  }
  return s;
}

uint32_t ReadAudioFileStream(AudioFileStream* s, float* out, uint32_t frames) {
  if (!s) return 0;
  uint32_t done = 0;
  while (done < frames) {
    if (s->stereo_at == s->stereo_frames && !DecodeBlock(*s) && !s->resampler) break;
    size_t available = s->stereo_frames - s->stereo_at;
    if (!s->resampler) {
      size_t n = std::min<size_t>(available, frames - done);
      std::copy_n(&s->stereo[2 * s->stereo_at], 2 * n, out + 2 * done);
      s->stereo_at += n;
      done += static_cast<uint32_t>(n);
      continue;
    }
    SRC_DATA data{};
    data.data_in = available ? &s->stereo[2 * s->stereo_at] : nullptr;
    data.input_frames = static_cast<long>(available);
    data.data_out = out + 2 * done;
    data.output_frames = static_cast<long>(frames - done);
    data.src_ratio = s->ratio;
    data.end_of_input = s->end_of_file ? 1 : 0;
    if (src_process(s->resampler, &data) != 0) break;
    s->stereo_at += static_cast<size_t>(data.input_frames_used);
    done += static_cast<uint32_t>(data.output_frames_gen);
    if (data.output_frames_gen == 0 && (s->end_of_file || data.input_frames_used == 0)) break;  // drained
  }
  return done;
}

void CloseAudioFileStream(AudioFileStream* s) {
  if (!s) return;
  if (s->resampler) src_delete(s->resampler);
  if (s->file) sf_close(s->file);
  delete s;
}
