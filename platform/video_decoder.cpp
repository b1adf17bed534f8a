#include "platform/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sound_device.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kQueuedPictures = 8;       // decoded ahead while the sound is well fed
constexpr size_t kMostQueuedPictures = 64;  // ... and while the sound runs short
constexpr size_t kMostQueuedBytes = size_t{64} << 20;
constexpr double kRingSeconds = 2.0;   // the sound waiting for the mixer, at most
constexpr double kSoundAhead = 1.0;    // reading stops while this much sound waits
constexpr double kSoundShort = 0.25;   // below this the pictures may queue up further
constexpr int kMostPictureSide = 4096;
constexpr int kMostDecodedSide = 16384;
constexpr int kOpenPackets = 4096;  // read at most while looking for the first frame

double Elapsed(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::string Describe(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// What FFmpeg holds for one opening of the file.
struct Streams {
  AVFormatContext* format = nullptr;
  int video = -1, audio = -1;
  AVCodecContext* video_codec = nullptr;
  AVCodecContext* audio_codec = nullptr;
  SwrContext* resampler = nullptr;
  int resampled_format = -1, resampled_rate = 0;  // what the resampler was made for
  AVChannelLayout resampled_layout{};
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  double start = 0;  // the file's first time stamp, seconds: position 0

  Streams() = default;
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;
  ~Streams() { Close(); }
  void Close() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    swr_free(&resampler);
    av_channel_layout_uninit(&resampled_layout);
    avcodec_free_context(&video_codec);
    avcodec_free_context(&audio_codec);
    avformat_close_input(&format);
    video = audio = -1;
  }
};

AVCodecContext* OpenCodec(const AVStream* stream) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return nullptr;
  AVCodecContext* context = avcodec_alloc_context3(codec);
  if (!context) return nullptr;
  context->thread_count = 2;
  context->max_pixels = int64_t{8192} * 8192;  // larger pictures are refused by the decoder
  if (avcodec_parameters_to_context(context, stream->codecpar) < 0 || avcodec_open2(context, codec, nullptr) < 0) {
    avcodec_free_context(&context);
    return nullptr;
  }
  return context;
}

bool OpenStreams(const std::string& path, Streams& s, std::string& error) {
  s.Close();
  int r = avformat_open_input(&s.format, path.c_str(), nullptr, nullptr);
  if (r < 0) {
    error = Describe(r);
    return false;
  }
  r = avformat_find_stream_info(s.format, nullptr);
  if (r < 0) {
    error = Describe(r);
    return false;
  }
  s.start = s.format->start_time == AV_NOPTS_VALUE ? 0 : static_cast<double>(s.format->start_time) / AV_TIME_BASE;
  int video = av_find_best_stream(s.format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video >= 0 && (s.format->streams[video]->disposition & AV_DISPOSITION_ATTACHED_PIC)) video = -1;  // cover art
  int audio = av_find_best_stream(s.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (video >= 0 && (s.video_codec = OpenCodec(s.format->streams[video]))) s.video = video;
  if (audio >= 0 && (s.audio_codec = OpenCodec(s.format->streams[audio]))) s.audio = audio;
  if (s.video < 0 && s.audio < 0) {
    error = "no stream that can be decoded";
    return false;
  }
  s.packet = av_packet_alloc();
  s.frame = av_frame_alloc();
  if (!s.packet || !s.frame) {
    error = "out of memory";
    return false;
  }
  return true;
}

}  // namespace

struct VideoPlayer {
  std::string path;
  VideoPlayerEvents events;
  Streams s;
  uint32_t rate = 0;  // the mixer's; 0 when the sound is not heard (none, or no mixer)
  int stream_id = -1;
  bool has_picture = false;
  double duration = 0;

  // Control, under lock.
  std::mutex lock;
  std::condition_variable wake;
  bool quit = false, running = false, ended = false;
  bool seek_pending = false, convert_pending = false;
  double seek_target = 0;
  int32_t picture_w = 0, picture_h = 0;
  // The clock when it does not follow the sound: base plus the time run since the anchor.
  bool wall = true;
  double wall_base = 0;
  Clock::time_point wall_anchor = Clock::now();

  // The decoding thread's own.
  std::deque<AVFrame*> pictures;
  size_t queued_bytes = 0;
  AVFrame* shown = nullptr;
  SwsContext* scaler = nullptr;
  std::vector<uint32_t> converted;
  std::vector<float> resampled;
  bool at_end_of_file = false;
  double end_time = 0;        // where the last frame decoded ends
  double drained_at = -1;     // when everything decoded had been played out (-1: not yet)
  double skip_before = 0;     // frames before this are decoded and dropped (after a seek)
  double next_video_time = 0;
  uint64_t sound_frames_decoded = 0;

  // The sound waiting for the mixer, under sound_lock (the mixer only tries
  // it and plays silence when it is busy).
  std::mutex sound_lock;
  std::vector<float> ring;  // stereo frames
  size_t ring_frames = 0, ring_read = 0, ring_count = 0;
  uint64_t played = 0;     // frames the mixer took since the base was set
  double sound_base = 0;   // the time of the first of them
  bool sound_base_set = false;
  std::atomic<bool> sound_running{false};
  std::atomic<float> gain{1.0f};

  std::thread thread;
};

namespace {

void MixVideoSound(void* user, float* out, uint32_t frames, uint32_t) {
  auto& p = *static_cast<VideoPlayer*>(user);
  uint32_t taken = 0;
  if (p.sound_running.load(std::memory_order_relaxed) && p.sound_lock.try_lock()) {
    taken = static_cast<uint32_t>(std::min<size_t>(frames, p.ring_count));
    const float g = p.gain.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < taken; ++i) {
      const float* from = &p.ring[2 * ((p.ring_read + i) % p.ring_frames)];
      out[2 * i] = from[0] * g;
      out[2 * i + 1] = from[1] * g;
    }
    if (taken) {
      p.ring_read = (p.ring_read + taken) % p.ring_frames;
      p.ring_count -= taken;
      p.played += taken;
    }
    p.sound_lock.unlock();
  }
  std::fill(out + 2 * taken, out + 2 * frames, 0.0f);
}

size_t RingCount(VideoPlayer& p) {
  std::lock_guard hold(p.sound_lock);
  return p.ring_count;
}

// lock held.
double NowLocked(VideoPlayer& p) {
  if (!p.wall) {
    std::lock_guard hold(p.sound_lock);
    return p.sound_base + static_cast<double>(p.played) / p.rate;
  }
  return p.wall_base + (p.running ? Elapsed(p.wall_anchor) : 0.0);
}

double Now(VideoPlayer& p) {
  std::lock_guard hold(p.lock);
  return NowLocked(p);
}

// The sound has run out (or stalls): the clock goes on from where it is.
void FollowWallClock(VideoPlayer& p) {
  std::lock_guard hold(p.lock);
  if (p.wall) return;
  p.wall_base = NowLocked(p);
  p.wall_anchor = Clock::now();
  p.wall = true;
}

double TimeOf(const Streams& s, int stream, int64_t stamp) {
  return static_cast<double>(stamp) * av_q2d(s.format->streams[stream]->time_base) - s.start;
}

void DropPictures(VideoPlayer& p) {
  for (AVFrame* f : p.pictures) av_frame_free(&f);
  p.pictures.clear();
  p.queued_bytes = 0;
}

void ShowPicture(VideoPlayer& p, const AVFrame* f) {
  if (!f || !p.events.picture) return;
  int32_t w, h;
  {
    std::lock_guard hold(p.lock);
    w = p.picture_w;
    h = p.picture_h;
  }
  if (w <= 0 || h <= 0) {
    w = f->width;
    h = f->height;
  }
  w = std::clamp(w, 1, kMostPictureSide);
  h = std::clamp(h, 1, kMostPictureSide);
  p.scaler = sws_getCachedContext(p.scaler, f->width, f->height, static_cast<AVPixelFormat>(f->format), w, h,
                                  AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!p.scaler) return;
  p.converted.resize(static_cast<size_t>(w) * h);
  uint8_t* planes[4] = {reinterpret_cast<uint8_t*>(p.converted.data()), nullptr, nullptr, nullptr};
  int strides[4] = {4 * w, 0, 0, 0};
  if (sws_scale(p.scaler, f->data, f->linesize, 0, f->height, planes, strides) <= 0) return;
  p.events.picture(p.events.user, p.converted.data(), w, h);
}

// A time stamp far past the length the file gives is damage: such a frame
// would hold the play up for as long.
bool Beyond(const VideoPlayer& p, double time) { return p.duration > 0 && time > p.duration + 1.0; }

void TakeVideoFrame(VideoPlayer& p, AVFrame* f) {
  const AVStream* stream = p.s.format->streams[p.s.video];
  AVRational rate = av_guess_frame_rate(p.s.format, const_cast<AVStream*>(stream), f);
  double duration = rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 0.04;
  duration = std::clamp(duration, 0.001, 1.0);
  double time = f->best_effort_timestamp == AV_NOPTS_VALUE ? p.next_video_time
                                                           : TimeOf(p.s, p.s.video, f->best_effort_timestamp);
  if (!std::isfinite(time)) time = p.next_video_time;
  if (Beyond(p, time)) return;
  p.next_video_time = time + duration;
  p.end_time = std::max(p.end_time, time + duration);
  if (time + duration / 2 < p.skip_before) return;
  if (f->width <= 0 || f->height <= 0 || f->width > kMostDecodedSide || f->height > kMostDecodedSide) return;
  AVFrame* kept = av_frame_clone(f);
  if (!kept) return;
  kept->best_effort_timestamp = static_cast<int64_t>(std::llround(time * 1e6));  // microseconds from now on
  p.pictures.push_back(kept);
  p.queued_bytes += static_cast<size_t>(f->width) * f->height * 2;
}

double PictureTime(const AVFrame* f) { return static_cast<double>(f->best_effort_timestamp) / 1e6; }

void TakeAudioFrame(VideoPlayer& p, AVFrame* f) {
  if (f->nb_samples <= 0 || f->sample_rate <= 0) return;
  double duration = static_cast<double>(f->nb_samples) / f->sample_rate;
  double time = f->best_effort_timestamp == AV_NOPTS_VALUE ? p.skip_before
                                                           : TimeOf(p.s, p.s.audio, f->best_effort_timestamp);
  if (!std::isfinite(time)) time = p.skip_before;
  if (Beyond(p, time)) return;
  p.end_time = std::max(p.end_time, time + duration);
  ++p.sound_frames_decoded;
  if (!p.rate || time + duration < p.skip_before) return;
  // The resampler follows the frame's layout, format and rate.
  Streams& s = p.s;
  if (s.resampler && (f->format != s.resampled_format || f->sample_rate != s.resampled_rate ||
                      av_channel_layout_compare(&f->ch_layout, &s.resampled_layout) != 0))
    swr_free(&s.resampler);
  if (!s.resampler) {
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (swr_alloc_set_opts2(&s.resampler, &stereo, AV_SAMPLE_FMT_FLT, static_cast<int>(p.rate), &f->ch_layout,
                            static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr) < 0 ||
        swr_init(s.resampler) < 0 || av_channel_layout_copy(&s.resampled_layout, &f->ch_layout) < 0) {
      swr_free(&s.resampler);
      return;
    }
    s.resampled_format = f->format;
    s.resampled_rate = f->sample_rate;
  }
  int most = swr_get_out_samples(p.s.resampler, f->nb_samples);
  if (most <= 0) return;
  most = std::min(most, static_cast<int>(p.rate));  // one second per frame at most
  p.resampled.resize(2 * static_cast<size_t>(most));
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(p.resampled.data())};
  int made = swr_convert(p.s.resampler, out, most, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  if (made <= 0) {
    if (made < 0) swr_free(&p.s.resampler);  // made again for the next frame
    return;
  }
  std::lock_guard hold(p.sound_lock);
  if (!p.sound_base_set) {
    p.sound_base = std::max(time, p.skip_before);
    p.sound_base_set = true;
    p.played = 0;
  }
  size_t room = p.ring_frames - p.ring_count;
  size_t n = std::min(room, static_cast<size_t>(made));
  size_t write = (p.ring_read + p.ring_count) % p.ring_frames;
  for (size_t i = 0; i < n; ++i) {
    float* to = &p.ring[2 * ((write + i) % p.ring_frames)];
    to[0] = p.resampled[2 * i];
    to[1] = p.resampled[2 * i + 1];
  }
  p.ring_count += n;
}

// Sends a packet (nullptr: the end, drain) and takes every frame it gives.
// A packet the decoder refuses is skipped.
void Decode(VideoPlayer& p, AVCodecContext* codec, const AVPacket* packet) {
  if (!codec) return;
  if (avcodec_send_packet(codec, packet) < 0 && packet) return;
  AVFrame* f = p.s.frame;
  while (avcodec_receive_frame(codec, f) >= 0) {
    if (codec == p.s.video_codec) TakeVideoFrame(p, f);
    else TakeAudioFrame(p, f);
    av_frame_unref(f);
  }
}

void ReadPacket(VideoPlayer& p) {
  int r = av_read_frame(p.s.format, p.s.packet);
  if (r == AVERROR(EAGAIN)) return;
  if (r < 0) {  // the end, or a file that cannot be read further
    Decode(p, p.s.video_codec, nullptr);
    Decode(p, p.s.audio_codec, nullptr);
    p.at_end_of_file = true;
    return;
  }
  if (p.s.packet->stream_index == p.s.video) Decode(p, p.s.video_codec, p.s.packet);
  else if (p.s.packet->stream_index == p.s.audio) Decode(p, p.s.audio_codec, p.s.packet);
  av_packet_unref(p.s.packet);
}

void DoSeek(VideoPlayer& p, double target) {
  DropPictures(p);
  p.at_end_of_file = false;
  p.drained_at = -1;
  p.skip_before = p.end_time = p.next_video_time = target;
  auto stamp = static_cast<int64_t>(std::llround((target + p.s.start) * AV_TIME_BASE));
  if (avformat_seek_file(p.s.format, -1, INT64_MIN, stamp, stamp, 0) >= 0) {
    if (p.s.video_codec) avcodec_flush_buffers(p.s.video_codec);
    if (p.s.audio_codec) avcodec_flush_buffers(p.s.audio_codec);
  } else {
    // Files that cannot seek are opened again and decoded up to the target.
    std::string error;
    if (!OpenStreams(p.path, p.s, error)) p.at_end_of_file = true;
  }
  {
    std::lock_guard hold(p.sound_lock);
    p.ring_count = p.ring_read = 0;
    p.played = 0;
    p.sound_base = target;
    p.sound_base_set = false;
  }
  bool running;
  {
    std::lock_guard hold(p.lock);
    p.wall = p.rate == 0;
    p.wall_base = target;
    p.wall_anchor = Clock::now();
    running = p.running;
  }
  // A paused player shows the picture at its new position at once.
  if (running || !p.has_picture) return;
  for (int n = 0; n < kOpenPackets && p.pictures.empty() && !p.at_end_of_file; ++n) ReadPacket(p);
  if (p.pictures.empty()) return;
  AVFrame* first = p.pictures.front();
  p.pictures.pop_front();
  p.queued_bytes -= std::min(p.queued_bytes, static_cast<size_t>(first->width) * first->height * 2);
  ShowPicture(p, first);
  av_frame_free(&p.shown);
  p.shown = first;
}

// One step of a running player: shows what is due, reads one packet when
// there is room, ends at the end, or waits a little.
void Step(VideoPlayer& p) {
  double now = Now(p);
  AVFrame* due = nullptr;
  while (!p.pictures.empty() && PictureTime(p.pictures.front()) <= now) {
    av_frame_free(&due);
    due = p.pictures.front();
    p.pictures.pop_front();
    p.queued_bytes -= std::min(p.queued_bytes, static_cast<size_t>(due->width) * due->height * 2);
  }
  if (due) {
    ShowPicture(p, due);
    av_frame_free(&p.shown);
    p.shown = due;
  }
  const size_t ring = p.rate ? RingCount(p) : 0;
  bool wall;
  {
    std::lock_guard hold(p.lock);
    wall = p.wall;
  }
  if (!p.at_end_of_file) {
    const bool sound_short = p.rate && !wall && ring < kSoundShort * p.rate;
    const bool picture_room =
        p.queued_bytes < kMostQueuedBytes &&
        (p.pictures.size() < kQueuedPictures || (sound_short && p.pictures.size() < kMostQueuedPictures));
    const bool sound_room = !p.rate || ring < kSoundAhead * p.rate;
    // Sound that nobody hears is paced by the clock.
    const bool paced = p.s.video >= 0 || p.rate || p.end_time <= now + 0.5;
    if (picture_room && sound_room && paced) {
      ReadPacket(p);
      return;
    }
    // The pictures are queued up as far as they may and no sound comes: the
    // sound stream has ended or stalls, and the clock takes over.
    if (!picture_room && !wall && ring == 0) FollowWallClock(p);
  } else if (p.pictures.empty() && ring == 0) {
    if (!wall) FollowWallClock(p);
    // Everything has been shown and heard: the end comes when the last frame
    // has run its time, and within a second whatever its time stamps say.
    if (p.drained_at < 0) p.drained_at = now;
    if (now >= p.end_time || now >= p.drained_at + 1.0) {
      {
        std::lock_guard hold(p.lock);
        if (p.seek_pending || !p.running) return;
        p.wall_base = NowLocked(p);
        p.running = false;
        p.ended = true;
      }
      p.sound_running = false;
      if (p.events.finished) p.events.finished(p.events.user);
      return;
    }
  } else if (!wall && ring == 0) {
    FollowWallClock(p);
  }
  double next = p.pictures.empty() ? now + 0.005 : PictureTime(p.pictures.front());
  auto wait = std::chrono::duration<double>(std::clamp(next - now, 0.001, 0.005));
  std::unique_lock hold(p.lock);
  p.wake.wait_for(hold, wait, [&] { return p.quit || p.seek_pending || p.convert_pending || !p.running; });
}

void DecodingThread(VideoPlayer* p) {
  for (;;) {
    bool seek = false, convert = false;
    double target = 0;
    {
      std::unique_lock hold(p->lock);
      p->wake.wait(hold, [&] {
        return p->quit || p->seek_pending || p->convert_pending || (p->running && !p->ended);
      });
      if (p->quit) return;
      if (p->seek_pending) {
        seek = true;
        target = p->seek_target;
        p->seek_pending = false;
      }
      convert = std::exchange(p->convert_pending, false);
    }
    if (seek) DoSeek(*p, target);
    else if (convert) ShowPicture(*p, p->shown);
    else Step(*p);
  }
}

void FreePlayer(VideoPlayer* p) {
  if (p->stream_id >= 0) RemoveSoundStream(p->stream_id);
  DropPictures(*p);
  av_frame_free(&p->shown);
  sws_freeContext(p->scaler);
  delete p;
}

}  // namespace

VideoPlayer* OpenVideoPlayer(const std::string& host_path, const VideoPlayerEvents& events, std::string& error) {
  av_log_set_level(AV_LOG_QUIET);  // a damaged file is refused or skipped over, never reported line by line
  auto* p = new VideoPlayer;
  p->path = host_path;
  p->events = events;
  if (!OpenStreams(host_path, p->s, error)) {
    FreePlayer(p);
    return nullptr;
  }
  p->has_picture = p->s.video >= 0;
  p->duration = p->s.format->duration > 0 ? static_cast<double>(p->s.format->duration) / AV_TIME_BASE : 0;
  if (p->s.audio >= 0 && SoundDeviceRate() > 0) {
    p->rate = SoundDeviceRate();
    p->ring_frames = static_cast<size_t>(kRingSeconds * p->rate);
    p->ring.assign(2 * p->ring_frames, 0.0f);
    p->stream_id = AddSoundStream(MixVideoSound, p);
    if (p->stream_id < 0) p->rate = 0;
  }
  p->wall = p->rate == 0;
  // Ready at the first frame, stopped there.
  for (int n = 0; n < kOpenPackets && !p->at_end_of_file; ++n) {
    if (p->has_picture ? !p->pictures.empty() : p->sound_frames_decoded > 0) break;
    ReadPacket(*p);
  }
  if (p->has_picture ? p->pictures.empty() : p->sound_frames_decoded == 0) {
    error = "no frame decodes";
    FreePlayer(p);
    return nullptr;
  }
  p->thread = std::thread(DecodingThread, p);
  return p;
}

void CloseVideoPlayer(VideoPlayer* p) {
  if (!p) return;
  {
    std::lock_guard hold(p->lock);
    p->quit = true;
  }
  p->wake.notify_all();
  if (p->thread.joinable()) p->thread.join();
  FreePlayer(p);
}

bool VideoPlayerHasPicture(const VideoPlayer* p) { return p && p->has_picture; }
double VideoPlayerDuration(const VideoPlayer* p) { return p ? p->duration : 0; }

void RunVideoPlayer(VideoPlayer* p) {
  {
    std::lock_guard hold(p->lock);
    if (!p->running) {
      p->running = true;
      p->wall_anchor = Clock::now();
    }
  }
  p->sound_running = true;
  p->wake.notify_all();
}

void PauseVideoPlayer(VideoPlayer* p) {
  p->sound_running = false;
  {
    std::lock_guard hold(p->lock);
    if (p->running) {
      p->wall_base += Elapsed(p->wall_anchor);
      p->running = false;
    }
  }
  p->wake.notify_all();
}

void SeekVideoPlayer(VideoPlayer* p, double seconds) {
  {
    std::lock_guard hold(p->lock);
    p->seek_pending = true;
    p->seek_target = std::max(0.0, std::isfinite(seconds) ? seconds : 0.0);
    p->ended = false;
    // The position reads as the target until the thread has moved there.
    p->wall = true;
    p->wall_base = p->seek_target;
    p->wall_anchor = Clock::now();
  }
  p->wake.notify_all();
}

double VideoPlayerPosition(VideoPlayer* p) { return Now(*p); }

void SetVideoPlayerVolume(VideoPlayer* p, int32_t volume) {
  p->gain = volume <= -10000 ? 0.0f : static_cast<float>(std::pow(10.0, std::min(volume, 0) / 2000.0));
}

void SetVideoPictureSize(VideoPlayer* p, int32_t w, int32_t h) {
  {
    std::lock_guard hold(p->lock);
    p->picture_w = std::clamp(w, 1, kMostPictureSide);
    p->picture_h = std::clamp(h, 1, kMostPictureSide);
    p->convert_pending = true;  // nothing to do before the first picture
  }
  p->wake.notify_all();
}
