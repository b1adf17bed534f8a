// The eight effects a sound buffer's chain can hold, as DSP units on stereo
// float frames at the mix rate. They live beside the mixer that runs them;
// they touch nothing of the platform and could move with it.
//
// Each unit takes its parameter record field by field (floats as bit
// patterns, whole numbers as 32-bit integers) in the units game authors
// tuned them in, clamps fields to their documented ranges and puts the
// default in place of a field that is not a number:
//   chorus      wet/dry % (50), depth % (10), feedback % -99..99 (25),
//               frequency 0..10 Hz (1.1), waveform 0 triangle / 1 sine (1),
//               delay 0..20 ms (16), phase 0..4 = -180, -90, 0, 90, 180 degrees (3)
//   compressor  gain -60..60 dB (0), attack 0.01..500 ms (10), release
//               50..3000 ms (200), threshold -60..0 dB (-20), ratio 1..100 (3),
//               predelay 0..4 ms (4)
//   distortion  gain -60..0 dB (-18), edge 0..100 % (15), post-EQ centre
//               100..8000 Hz (2400), post-EQ bandwidth 100..8000 Hz (2400),
//               pre-lowpass cutoff 100..8000 Hz (8000)
//   echo        wet/dry % (50), feedback 0..100 % (50), left delay and right
//               delay 1..2000 ms (500), pan delay 0/1 (0: swap sides on repeat when 1)
//   flanger     wet/dry % (50), depth % (100), feedback % -99..99 (-50),
//               frequency 0..10 Hz (0.25), waveform (1), delay 0..4 ms (2), phase (2)
//   gargle      rate 1..1000 Hz (20), wave shape 0 triangle / 1 square (0)
//   param. EQ   centre 80..16000 Hz (8000), bandwidth 1..36 semitones (12),
//               gain -15..15 dB (0)
//   reverb      input gain -96..0 dB (0), reverb mix -96..0 dB (0), reverb
//               time 0.001..3000 ms (1000), high-frequency time ratio 0.001..0.999 (0.001)
#pragma once
#include <cstdint>
#include <memory>

#include "platform/sound_device.h"

struct SoundEffectUnit {
  virtual ~SoundEffectUnit() = default;
  // Works in place on interleaved stereo frames.
  virtual void Process(float* stereo, uint32_t frames) = 0;
};

// Null only when memory is short.
std::unique_ptr<SoundEffectUnit> MakeSoundEffect(const SoundEffectSettings& settings, uint32_t rate);
