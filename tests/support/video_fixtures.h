// Test support: tiny videos made at test time with FFmpeg's own encoders:
// 64 x 48 frames of one solid colour at 25 frames a second, and, when asked,
// a 440 Hz stereo tone beside them.
#pragma once
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

struct TestVideo {
  const char* container;  // FFmpeg's short name: "mpeg", "avi"
  AVCodecID video;
  AVCodecID audio;  // AV_CODEC_ID_NONE: no sound
};

constexpr int kTestVideoWidth = 64, kTestVideoHeight = 48, kTestVideoRate = 25;
constexpr uint32_t kTestVideoColour = 0xD04020;  // what every frame shows, 0xRRGGBB

namespace video_fixtures {

struct Encoder {
  AVCodecContext* codec = nullptr;
  AVStream* stream = nullptr;
  AVFrame* frame = nullptr;
  int64_t next = 0;  // in the codec's time base
  ~Encoder() {
    av_frame_free(&frame);
    avcodec_free_context(&codec);
  }
};

inline bool Drain(AVFormatContext* out, Encoder& e, const AVFrame* frame) {
  if (avcodec_send_frame(e.codec, frame) < 0) return false;
  AVPacket* packet = av_packet_alloc();
  if (!packet) return false;
  bool ok = true;
  int r;
  while ((r = avcodec_receive_packet(e.codec, packet)) >= 0) {
    av_packet_rescale_ts(packet, e.codec->time_base, e.stream->time_base);
    packet->stream_index = e.stream->index;
    if (av_interleaved_write_frame(out, packet) < 0) ok = false;
  }
  av_packet_free(&packet);
  return ok && (r == AVERROR(EAGAIN) || r == AVERROR_EOF);
}

inline bool Open(AVFormatContext* out, Encoder& e, AVCodecID id, bool audio) {
  const AVCodec* codec = avcodec_find_encoder(id);
  if (!codec || !(e.codec = avcodec_alloc_context3(codec)) || !(e.stream = avformat_new_stream(out, nullptr)))
    return false;
  if (audio) {
    e.codec->sample_fmt = AV_SAMPLE_FMT_S16;
    e.codec->sample_rate = 44100;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    av_channel_layout_copy(&e.codec->ch_layout, &stereo);
    e.codec->time_base = {1, 44100};
  } else {
    e.codec->width = kTestVideoWidth;
    e.codec->height = kTestVideoHeight;
    e.codec->pix_fmt = AV_PIX_FMT_YUV420P;
    e.codec->time_base = {1, kTestVideoRate};
    e.codec->framerate = {kTestVideoRate, 1};
    e.codec->gop_size = 5;
    e.codec->max_b_frames = 0;
    e.codec->bit_rate = 400000;
  }
  if (out->oformat->flags & AVFMT_GLOBALHEADER) e.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(e.codec, codec, nullptr) < 0) return false;
  if (avcodec_parameters_from_context(e.stream->codecpar, e.codec) < 0) return false;
  e.stream->time_base = e.codec->time_base;
  e.frame = av_frame_alloc();
  if (!e.frame) return false;
  if (audio) {
    e.frame->format = AV_SAMPLE_FMT_S16;
    e.frame->nb_samples = e.codec->frame_size > 0 ? e.codec->frame_size : 1024;
    av_channel_layout_copy(&e.frame->ch_layout, &e.codec->ch_layout);
    e.frame->sample_rate = 44100;
  } else {
    e.frame->format = AV_PIX_FMT_YUV420P;
    e.frame->width = kTestVideoWidth;
    e.frame->height = kTestVideoHeight;
  }
  return av_frame_get_buffer(e.frame, 0) >= 0;
}

inline void FillPicture(AVFrame* f) {
  const double r = (kTestVideoColour >> 16) & 0xFF, g = (kTestVideoColour >> 8) & 0xFF, b = kTestVideoColour & 0xFF;
  const auto y = static_cast<uint8_t>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255));
  const auto u = static_cast<uint8_t>(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255));
  const auto v = static_cast<uint8_t>(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255));
  av_frame_make_writable(f);
  for (int row = 0; row < f->height; ++row) std::fill_n(f->data[0] + row * f->linesize[0], f->width, y);
  for (int row = 0; row < f->height / 2; ++row) {
    std::fill_n(f->data[1] + row * f->linesize[1], f->width / 2, u);
    std::fill_n(f->data[2] + row * f->linesize[2], f->width / 2, v);
  }
}

inline void FillTone(AVFrame* f, int64_t first) {
  av_frame_make_writable(f);
  auto* samples = reinterpret_cast<int16_t*>(f->data[0]);
  for (int i = 0; i < f->nb_samples; ++i) {
    auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(first + i) / 44100));
    samples[2 * i] = samples[2 * i + 1] = s;
  }
}

}  // namespace video_fixtures

// Writes `frames` frames (and as long a tone) to path. False when FFmpeg
// cannot make the file.
inline bool WriteTestVideo(const std::string& path, const TestVideo& kind, int frames) {
  using namespace video_fixtures;
  AVFormatContext* out = nullptr;
  if (avformat_alloc_output_context2(&out, nullptr, kind.container, path.c_str()) < 0 || !out) return false;
  bool ok;
  {
    Encoder video, audio;
    const bool sound = kind.audio != AV_CODEC_ID_NONE;
    ok = Open(out, video, kind.video, false) && (!sound || Open(out, audio, kind.audio, true)) &&
         avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(out, nullptr) >= 0;
    const int64_t samples = int64_t{frames} * 44100 / kTestVideoRate;
    while (ok) {
      const bool video_left = video.next < frames;
      const bool audio_left = sound && audio.next < samples;
      if (!video_left && !audio_left) break;
      // Whichever stream is behind in time goes next.
      if (video_left && (!audio_left || video.next * 44100 <= audio.next * kTestVideoRate)) {
        FillPicture(video.frame);
        video.frame->pts = video.next++;
        ok = Drain(out, video, video.frame);
      } else {
        FillTone(audio.frame, audio.next);
        audio.frame->pts = audio.next;
        audio.next += audio.frame->nb_samples;
        ok = Drain(out, audio, audio.frame);
      }
    }
    ok = ok && Drain(out, video, nullptr) && (!sound || Drain(out, audio, nullptr));
    ok = ok && av_write_trailer(out) >= 0;
  }
  if (out->pb) avio_closep(&out->pb);
  avformat_free_context(out);
  return ok;
}

// The two kinds the tests play: MPEG-1 alone, and MPEG-4 with PCM sound.
inline const TestVideo kMpeg1Video{"mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_NONE};
inline const TestVideo kMpeg4WithSound{"avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_PCM_S16LE};
