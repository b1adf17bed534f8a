// Test support: small sound files made at test time (PCM and Microsoft
// ADPCM WAV, Ogg Vorbis through libvorbisenc) and a look at a mix.
#pragma once
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
inline void PutId(Bytes& b, const char* id) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(id[i]));
}

// Interleaved 16-bit frames of a sine: `frames` frames, one frequency per
// channel (a channel whose frequency is 0 is silent), amplitude 0..1.
inline std::vector<int16_t> Sine(uint32_t frames, uint32_t rate, std::vector<double> hertz, double amplitude = 0.5) {
  std::vector<int16_t> out;
  for (uint32_t n = 0; n < frames; ++n)
    for (double f : hertz)
      out.push_back(static_cast<int16_t>(std::lround(32767 * amplitude * std::sin(2 * M_PI * f * n / rate))));
  return out;
}

// RIFF WAVE around a fmt payload and a data payload.
inline Bytes Riff(const Bytes& fmt, const Bytes& data) {
  Bytes b;
  PutId(b, "RIFF");
  Put32(b, static_cast<uint32_t>(4 + 8 + fmt.size() + 8 + data.size() + (data.size() & 1)));
  PutId(b, "WAVE");
  PutId(b, "fmt ");
  Put32(b, static_cast<uint32_t>(fmt.size()));
  b.insert(b.end(), fmt.begin(), fmt.end());
  PutId(b, "data");
  Put32(b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() & 1) b.push_back(0);
  return b;
}

inline Bytes PcmFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes f;
  Put16(f, 1);
  Put16(f, channels);
  Put32(f, rate);
  Put32(f, rate * channels * bits / 8);
  Put16(f, static_cast<uint16_t>(channels * bits / 8));
  Put16(f, bits);
  return f;
}

// A PCM WAV of the samples, 16-bit or (scaled down) 8-bit.
inline Bytes PcmWave(uint16_t channels, uint32_t rate, uint16_t bits, const std::vector<int16_t>& samples) {
  Bytes data;
  for (int16_t s : samples) {
    if (bits == 8) {
      data.push_back(static_cast<uint8_t>((s >> 8) + 128));
    } else {
      Put16(data, static_cast<uint16_t>(s));
    }
  }
  return Riff(PcmFormat(channels, rate, bits), data);
}

// The standard seven coefficient pairs.
inline constexpr int16_t kAdpcmCoefficients[7][2] = {{256, 0},  {512, -256}, {0, 0},      {192, 64},
                                                     {240, 0},  {460, -208}, {392, -232}};

inline Bytes AdpcmFormat(uint16_t channels, uint32_t rate, uint16_t block_align, uint16_t samples_per_block,
                         int coefficient_count = 7) {
  Bytes f;
  Put16(f, 2);
  Put16(f, channels);
  Put32(f, rate);
  Put32(f, rate * block_align / samples_per_block);
  Put16(f, block_align);
  Put16(f, 4);
  Put16(f, static_cast<uint16_t>(4 + 4 * coefficient_count));
  Put16(f, samples_per_block);
  Put16(f, static_cast<uint16_t>(coefficient_count));
  for (int i = 0; i < coefficient_count; ++i) {
    Put16(f, static_cast<uint16_t>(kAdpcmCoefficients[i % 7][0]));
    Put16(f, static_cast<uint16_t>(kAdpcmCoefficients[i % 7][1]));
  }
  return f;
}

// Encodes interleaved samples as Microsoft ADPCM with predictor 0 and the
// nibble nearest to each sample; a last partial block is written as its
// bytes only (so it is incomplete). Returns the data payload.
inline Bytes AdpcmEncode(uint16_t channels, uint16_t block_align, uint16_t samples_per_block,
                         const std::vector<int16_t>& samples) {
  static constexpr int kAdapt[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};
  Bytes out;
  size_t frames = samples.size() / channels;
  for (size_t start = 0; start < frames; start += samples_per_block) {
    Bytes block;
    auto at = [&](size_t frame, int c) { return frame < frames ? samples[frame * channels + c] : int16_t{0}; };
    int s1[2], s2[2], delta[2];
    for (int c = 0; c < channels; ++c) block.push_back(0);
    for (int c = 0; c < channels; ++c) {
      delta[c] = 16;
      Put16(block, 16);
    }
    for (int c = 0; c < channels; ++c) {
      s1[c] = at(start + 1, c);
      Put16(block, static_cast<uint16_t>(s1[c]));
    }
    for (int c = 0; c < channels; ++c) {
      s2[c] = at(start, c);
      Put16(block, static_cast<uint16_t>(s2[c]));
    }
    int pending = -1;
    for (size_t f = start + 2; f < start + samples_per_block; ++f) {
      for (int c = 0; c < channels; ++c) {
        int predicted = (s1[c] * 256 + s2[c] * 0) >> 8;
        int code = std::clamp(static_cast<int>(std::lround(double(at(f, c) - predicted) / delta[c])), -8, 7);
        int sample = std::clamp(predicted + code * delta[c], -32768, 32767);
        int nibble = code & 15;
        delta[c] = std::max(16, delta[c] * kAdapt[nibble] >> 8);
        s2[c] = s1[c];
        s1[c] = sample;
        if (pending < 0) {
          pending = nibble;
        } else {
          block.push_back(static_cast<uint8_t>(pending << 4 | nibble));
          pending = -1;
        }
      }
    }
    if (pending >= 0) block.push_back(static_cast<uint8_t>(pending << 4));
    block.resize(block_align, 0);
    size_t real = std::min<size_t>(block_align, (frames - start) >= samples_per_block ? block_align : block_align / 2);
    out.insert(out.end(), block.begin(), block.begin() + static_cast<long>(real));
  }
  return out;
}

inline Bytes AdpcmWave(uint16_t channels, uint32_t rate, uint16_t block_align, uint16_t samples_per_block,
                       const std::vector<int16_t>& samples) {
  return Riff(AdpcmFormat(channels, rate, block_align, samples_per_block),
              AdpcmEncode(channels, block_align, samples_per_block, samples));
}

// An Ogg Vorbis file of the samples with the given comments ("TAG=value").
inline Bytes OggVorbis(uint16_t channels, uint32_t rate, const std::vector<int16_t>& samples,
                       const std::vector<std::string>& comments = {}) {
  vorbis_info info;
  vorbis_info_init(&info);
  Bytes out;
  if (vorbis_encode_init_vbr(&info, channels, static_cast<long>(rate), 0.4f) != 0) return out;
  vorbis_comment comment;
  vorbis_comment_init(&comment);
  for (const std::string& c : comments) vorbis_comment_add(&comment, c.c_str());
  vorbis_dsp_state dsp;
  vorbis_block block;
  vorbis_analysis_init(&dsp, &info);
  vorbis_block_init(&dsp, &block);
  ogg_stream_state stream;
  ogg_stream_init(&stream, 1);
  ogg_packet header, header_comment, header_code;
  vorbis_analysis_headerout(&dsp, &comment, &header, &header_comment, &header_code);
  ogg_stream_packetin(&stream, &header);
  ogg_stream_packetin(&stream, &header_comment);
  ogg_stream_packetin(&stream, &header_code);
  ogg_page page;
  auto write_page = [&] {
    out.insert(out.end(), page.header, page.header + page.header_len);
    out.insert(out.end(), page.body, page.body + page.body_len);
  };
  while (ogg_stream_flush(&stream, &page)) write_page();
  auto drain = [&] {
    while (vorbis_analysis_blockout(&dsp, &block) == 1) {
      vorbis_analysis(&block, nullptr);
      vorbis_bitrate_addblock(&block);
      ogg_packet packet;
      while (vorbis_bitrate_flushpacket(&dsp, &packet)) {
        ogg_stream_packetin(&stream, &packet);
        while (ogg_stream_pageout(&stream, &page)) write_page();
      }
    }
  };
  size_t frames = samples.size() / channels;
  for (size_t start = 0; start < frames; start += 1024) {
    size_t n = std::min<size_t>(1024, frames - start);
    float** buffer = vorbis_analysis_buffer(&dsp, static_cast<int>(n));
    for (size_t i = 0; i < n; ++i)
      for (int c = 0; c < channels; ++c) buffer[c][i] = samples[(start + i) * channels + c] / 32768.0f;
    vorbis_analysis_wrote(&dsp, static_cast<int>(n));
    drain();
  }
  vorbis_analysis_wrote(&dsp, 0);
  drain();
  while (ogg_stream_flush(&stream, &page)) write_page();
  ogg_stream_clear(&stream);
  vorbis_block_clear(&block);
  vorbis_dsp_clear(&dsp);
  vorbis_comment_clear(&comment);
  vorbis_info_clear(&info);
  return out;
}

inline void WriteBytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
}

// Copies bytes into a malloc'd block, as OpenSoundSourceFromBlock takes it.
inline uint8_t* Block(const Bytes& b) {
  auto* p = static_cast<uint8_t*>(std::malloc(std::max<size_t>(b.size(), 1)));
  std::copy(b.begin(), b.end(), p);
  return p;
}

// The frequency of a tone in one channel of interleaved float frames, from
// its rising zero crossings.
inline double ToneFrequency(const float* frames, size_t count, int channel, uint32_t rate) {
  long first = -1, last = -1, crossings = 0;
  for (size_t n = 1; n < count; ++n) {
    if (frames[2 * (n - 1) + channel] < 0 && frames[2 * n + channel] >= 0) {
      if (first < 0) first = static_cast<long>(n);
      last = static_cast<long>(n);
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return double(crossings - 1) * rate / double(last - first);
}

// Root mean square of one channel.
inline double Rms(const float* frames, size_t count, int channel) {
  double sum = 0;
  for (size_t n = 0; n < count; ++n) sum += double(frames[2 * n + channel]) * frames[2 * n + channel];
  return count ? std::sqrt(sum / double(count)) : 0;
}
