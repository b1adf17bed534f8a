#include "platform/sound_effects.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <numbers>
#include <vector>

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// A float field clamped to its range; not a number gives the default.
float Field(const SoundEffectSettings& s, int index, float low, float high, float fallback) {
  float v = std::bit_cast<float>(s.fields[index]);
  if (std::isnan(v)) return fallback;
  return std::clamp(v, low, high);
}
int32_t IntField(const SoundEffectSettings& s, int index, int32_t low, int32_t high) {
  return std::clamp(static_cast<int32_t>(s.fields[index]), low, high);
}

float DecibelsToAmplitude(float db) { return std::pow(10.0f, db / 20.0f); }

// A stereo delay line read at fractional delays.
struct DelayLine {
  std::vector<float> samples;  // interleaved stereo
  uint32_t length = 0;         // frames
  uint32_t write = 0;

  explicit DelayLine(uint32_t frames) : samples(2 * (frames + 2)), length(frames + 2) {}
  void Push(float left, float right) {
    samples[2 * write] = left;
    samples[2 * write + 1] = right;
    if (++write == length) write = 0;
  }
  // The sample of `channel` written `delay` frames before the last push
  // (delay >= 1 is the last one pushed).
  float Read(int channel, float delay) const {
    delay = std::clamp(delay, 1.0f, static_cast<float>(length - 1));
    float at = static_cast<float>(write) - delay;
    if (at < 0) at += static_cast<float>(length);
    uint32_t i = static_cast<uint32_t>(at);
    float fraction = at - static_cast<float>(i);
    uint32_t j = i + 1 == length ? 0 : i + 1;
    return samples[2 * i + channel] * (1 - fraction) + samples[2 * j + channel] * fraction;
  }
};

// A low-frequency oscillator: triangle or sine in -1..1.
float Lfo(float phase, bool sine) {
  phase -= std::floor(phase);
  if (sine) return std::sin(2 * kPi * phase);
  return phase < 0.5f ? 4 * phase - 1 : 3 - 4 * phase;
}

// ---- Chorus and flanger: a modulated delay with feedback ----

struct ModulatedDelay : SoundEffectUnit {
  float wet, depth, feedback, step, delay_frames;
  bool sine;
  float phase_offset, phase = 0;
  DelayLine line;

  ModulatedDelay(float wet_percent, float depth_percent, float feedback_percent, float hertz, int waveform,
                 float delay_ms, int phase_code, uint32_t rate)
      : wet(wet_percent / 100),
        depth(depth_percent / 100),
        feedback(feedback_percent / 100),
        step(hertz / static_cast<float>(rate)),
        delay_frames(delay_ms * static_cast<float>(rate) / 1000),
        sine(waveform == 1),
        phase_offset(static_cast<float>(phase_code - 2) / 4),  // quarter turns: -180 .. 180 degrees
        line(static_cast<uint32_t>(2 * delay_ms * static_cast<float>(rate) / 1000) + 4) {}

  void Process(float* io, uint32_t frames) override {
    for (uint32_t n = 0; n < frames; ++n, io += 2) {
      float delayed[2];
      for (int c = 0; c < 2; ++c) {
        float lfo = Lfo(phase + (c ? phase_offset : 0), sine);
        delayed[c] = line.Read(c, 1 + delay_frames * (1 + depth * lfo));
      }
      line.Push(io[0] + feedback * delayed[0], io[1] + feedback * delayed[1]);
      io[0] = io[0] * (1 - wet) + delayed[0] * wet;
      io[1] = io[1] * (1 - wet) + delayed[1] * wet;
      phase += step;
      if (phase >= 1) phase -= 1;
    }
  }
};

std::unique_ptr<SoundEffectUnit> MakeChorus(const SoundEffectSettings& s, uint32_t rate) {
  return std::make_unique<ModulatedDelay>(Field(s, 0, 0, 100, 50), Field(s, 1, 0, 100, 10), Field(s, 2, -99, 99, 25),
                                          Field(s, 3, 0, 10, 1.1f), IntField(s, 4, 0, 1), Field(s, 5, 0, 20, 16),
                                          IntField(s, 6, 0, 4), rate);
}

std::unique_ptr<SoundEffectUnit> MakeFlanger(const SoundEffectSettings& s, uint32_t rate) {
  return std::make_unique<ModulatedDelay>(Field(s, 0, 0, 100, 50), Field(s, 1, 0, 100, 100),
                                          Field(s, 2, -99, 99, -50), Field(s, 3, 0, 10, 0.25f), IntField(s, 4, 0, 1),
                                          Field(s, 5, 0, 4, 2), IntField(s, 6, 0, 4), rate);
}

// ---- Compressor: peak envelope, gain above the threshold divided by the ratio ----

struct Compressor : SoundEffectUnit {
  float makeup_db, attack, release, threshold_db, ratio, envelope = 0;
  uint32_t predelay;
  DelayLine line;

  Compressor(const SoundEffectSettings& s, uint32_t rate)
      : makeup_db(Field(s, 0, -60, 60, 0)),
        attack(std::exp(-1000.0f / (Field(s, 1, 0.01f, 500, 10) * static_cast<float>(rate)))),
        release(std::exp(-1000.0f / (Field(s, 2, 50, 3000, 200) * static_cast<float>(rate)))),
        threshold_db(Field(s, 3, -60, 0, -20)),
        ratio(Field(s, 4, 1, 100, 3)),
        predelay(static_cast<uint32_t>(Field(s, 5, 0, 4, 4) * static_cast<float>(rate) / 1000)),
        line(predelay + 2) {}

  void Process(float* io, uint32_t frames) override {
    for (uint32_t n = 0; n < frames; ++n, io += 2) {
      float peak = std::max(std::fabs(io[0]), std::fabs(io[1]));
      float k = peak > envelope ? attack : release;
      envelope = peak + k * (envelope - peak);
      float level_db = 20 * std::log10(std::max(envelope, 1e-6f));
      float over = level_db - threshold_db;
      float gain_db = makeup_db - (over > 0 ? over * (1 - 1 / ratio) : 0);
      float gain = DecibelsToAmplitude(gain_db);
      // The detector looks ahead of the sound by the predelay.
      line.Push(io[0], io[1]);
      float delay = static_cast<float>(predelay + 1);
      io[0] = line.Read(0, delay) * gain;
      io[1] = line.Read(1, delay) * gain;
    }
  }
};

// ---- Biquad filters (the usual cookbook forms) ----

struct Biquad {
  float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  float x1[2] = {}, x2[2] = {}, y1[2] = {}, y2[2] = {};

  float Run(int c, float x) {
    float y = b0 * x + b1 * x1[c] + b2 * x2[c] - a1 * y1[c] - a2 * y2[c];
    x2[c] = x1[c];
    x1[c] = x;
    y2[c] = y1[c];
    y1[c] = y;
    return y;
  }
  void Set(float nb0, float nb1, float nb2, float a0, float na1, float na2) {
    b0 = nb0 / a0;
    b1 = nb1 / a0;
    b2 = nb2 / a0;
    a1 = na1 / a0;
    a2 = na2 / a0;
  }
  // Peak of gain_db at centre, bandwidth in octaves.
  void Peaking(float centre, float octaves, float gain_db, uint32_t rate) {
    float a = std::pow(10.0f, gain_db / 40);
    float w = 2 * kPi * centre / static_cast<float>(rate);
    float alpha = std::sin(w) * std::sinh(std::log(2.0f) / 2 * octaves * w / std::sin(w));
    Set(1 + alpha * a, -2 * std::cos(w), 1 - alpha * a, 1 + alpha / a, -2 * std::cos(w), 1 - alpha / a);
  }
  // Band-pass with 0 dB at its centre and the given width in hertz.
  void BandPass(float centre, float width, uint32_t rate) {
    float w = 2 * kPi * centre / static_cast<float>(rate);
    float q = std::max(centre / width, 0.1f);
    float alpha = std::sin(w) / (2 * q);
    Set(alpha, 0, -alpha, 1 + alpha, -2 * std::cos(w), 1 - alpha);
  }
  void LowPass(float cutoff, uint32_t rate) {
    float w = 2 * kPi * cutoff / static_cast<float>(rate);
    float alpha = std::sin(w) / std::sqrt(2.0f);
    float c = std::cos(w);
    Set((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
  }
};

// Frequencies stay below the mix rate's Nyquist limit.
float BelowNyquist(float hertz, uint32_t rate) { return std::min(hertz, 0.45f * static_cast<float>(rate)); }

// ---- Distortion: low-pass, a waveshaper driven by the edge, band-pass, gain ----

struct Distortion : SoundEffectUnit {
  float gain, drive;
  Biquad pre, post;

  Distortion(const SoundEffectSettings& s, uint32_t rate)
      : gain(DecibelsToAmplitude(Field(s, 0, -60, 0, -18))) {
    float edge = Field(s, 1, 0, 100, 15) / 100;
    edge = std::min(edge, 0.99f);
    drive = 2 * edge / (1 - edge);
    post.BandPass(BelowNyquist(Field(s, 2, 100, 8000, 2400), rate), Field(s, 3, 100, 8000, 2400), rate);
    pre.LowPass(BelowNyquist(Field(s, 4, 100, 8000, 8000), rate), rate);
  }

  void Process(float* io, uint32_t frames) override {
    for (uint32_t n = 0; n < frames; ++n, io += 2) {
      for (int c = 0; c < 2; ++c) {
        float x = pre.Run(c, io[c]);
        float shaped = (1 + drive) * x / (1 + drive * std::fabs(x));
        io[c] = post.Run(c, shaped) * gain;
      }
    }
  }
};

// ---- Echo: a delay per side with feedback, optionally crossing sides ----

struct Echo : SoundEffectUnit {
  float wet, feedback, left_delay, right_delay;
  bool cross;
  DelayLine line;

  Echo(const SoundEffectSettings& s, uint32_t rate)
      : wet(Field(s, 0, 0, 100, 50) / 100),
        feedback(Field(s, 1, 0, 100, 50) / 100),
        left_delay(Field(s, 2, 1, 2000, 500) * static_cast<float>(rate) / 1000),
        right_delay(Field(s, 3, 1, 2000, 500) * static_cast<float>(rate) / 1000),
        cross(IntField(s, 4, 0, 1) == 1),
        line(static_cast<uint32_t>(std::max(left_delay, right_delay)) + 2) {}

  void Process(float* io, uint32_t frames) override {
    for (uint32_t n = 0; n < frames; ++n, io += 2) {
      float left = line.Read(0, left_delay);
      float right = line.Read(1, right_delay);
      if (cross) {
        line.Push(io[0] + feedback * right, io[1] + feedback * left);
      } else {
        line.Push(io[0] + feedback * left, io[1] + feedback * right);
      }
      io[0] = io[0] * (1 - wet) + left * wet;
      io[1] = io[1] * (1 - wet) + right * wet;
    }
  }
};

// ---- Gargle: amplitude modulation by a triangle or square wave ----

struct Gargle : SoundEffectUnit {
  float step, phase = 0;
  bool square;

  Gargle(const SoundEffectSettings& s, uint32_t rate)
      : step(static_cast<float>(IntField(s, 0, 1, 1000)) / static_cast<float>(rate)), square(IntField(s, 1, 0, 1) == 1) {}

  void Process(float* io, uint32_t frames) override {
    for (uint32_t n = 0; n < frames; ++n, io += 2) {
      float m = square ? (phase < 0.5f ? 1.0f : 0.0f) : (phase < 0.5f ? 2 * phase : 2 - 2 * phase);
      io[0] *= m;
      io[1] *= m;
      phase += step;
      if (phase >= 1) phase -= 1;
    }
  }
};

// ---- Parametric equaliser: one peaking band ----

struct ParametricEqualiser : SoundEffectUnit {
  Biquad band;

  ParametricEqualiser(const SoundEffectSettings& s, uint32_t rate) {
    band.Peaking(BelowNyquist(Field(s, 0, 80, 16000, 8000), rate), Field(s, 1, 1, 36, 12) / 12, Field(s, 2, -15, 15, 0),
                 rate);
  }
  void Process(float* io, uint32_t frames) override {
    for (uint32_t n = 0; n < frames; ++n, io += 2) {
      io[0] = band.Run(0, io[0]);
      io[1] = band.Run(1, io[1]);
    }
  }
};

// ---- Reverb: damped parallel combs and series all-passes per side ----

struct Reverb : SoundEffectUnit {
  static constexpr int kCombs = 4, kAllPasses = 2;
  // Delays in milliseconds, the right side slightly detuned.
  static constexpr float kCombMs[kCombs] = {29.7f, 37.1f, 41.1f, 43.7f};
  static constexpr float kAllPassMs[kAllPasses] = {5.0f, 1.7f};
  struct Line {
    std::vector<float> samples;
    uint32_t at = 0;
    float feedback = 0, damp = 0, stored = 0;
  };
  Line combs[2][kCombs], allpasses[2][kAllPasses];
  float input_gain, mix_gain;

  Reverb(const SoundEffectSettings& s, uint32_t rate) {
    input_gain = DecibelsToAmplitude(Field(s, 0, -96, 0, 0));
    mix_gain = DecibelsToAmplitude(Field(s, 1, -96, 0, 0));
    float time_ms = Field(s, 2, 0.001f, 3000, 1000);
    float high_ratio = Field(s, 3, 0.001f, 0.999f, 0.001f);
    for (int c = 0; c < 2; ++c) {
      for (int i = 0; i < kCombs; ++i) {
        float ms = kCombMs[i] * (c ? 1.023f : 1.0f);
        Line& l = combs[c][i];
        l.samples.assign(static_cast<size_t>(ms * static_cast<float>(rate) / 1000) + 1, 0.0f);
        // Each pass through the comb loses 60 dB over the reverb time;
        // high frequencies die away in their share of it.
        l.feedback = std::pow(10.0f, -3 * ms / time_ms);
        l.damp = 1 - high_ratio;
      }
      for (int i = 0; i < kAllPasses; ++i) {
        allpasses[c][i].samples.assign(static_cast<size_t>(kAllPassMs[i] * static_cast<float>(rate) / 1000) + 1, 0.0f);
        allpasses[c][i].feedback = 0.5f;
      }
    }
  }

  void Process(float* io, uint32_t frames) override {
    for (uint32_t n = 0; n < frames; ++n, io += 2) {
      for (int c = 0; c < 2; ++c) {
        float x = io[c] * input_gain;
        float sum = 0;
        for (Line& l : combs[c]) {
          float y = l.samples[l.at];
          l.stored = y * (1 - l.damp) + l.stored * l.damp;
          l.samples[l.at] = x + l.stored * l.feedback;
          if (++l.at == l.samples.size()) l.at = 0;
          sum += y;
        }
        float y = sum / kCombs;
        for (Line& l : allpasses[c]) {
          float delayed = l.samples[l.at];
          l.samples[l.at] = y + delayed * l.feedback;
          if (++l.at == l.samples.size()) l.at = 0;
          y = delayed - y * l.feedback;
        }
        io[c] = x + y * mix_gain;
      }
    }
  }
};

}  // namespace

std::unique_ptr<SoundEffectUnit> MakeSoundEffect(const SoundEffectSettings& s, uint32_t rate) {
  try {
    switch (s.kind) {
      case SoundEffectKind::kChorus: return MakeChorus(s, rate);
      case SoundEffectKind::kCompressor: return std::make_unique<Compressor>(s, rate);
      case SoundEffectKind::kDistortion: return std::make_unique<Distortion>(s, rate);
      case SoundEffectKind::kEcho: return std::make_unique<Echo>(s, rate);
      case SoundEffectKind::kFlanger: return MakeFlanger(s, rate);
      case SoundEffectKind::kGargle: return std::make_unique<Gargle>(s, rate);
      case SoundEffectKind::kParametricEqualiser: return std::make_unique<ParametricEqualiser>(s, rate);
      case SoundEffectKind::kReverb: return std::make_unique<Reverb>(s, rate);
    }
  } catch (const std::bad_alloc&) {
  }
  return nullptr;
}
