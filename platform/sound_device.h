// The sound device and its mixer: secondary buffers of PCM that play once or
// looping, each with a play cursor, volume and pan in hundredths of a decibel,
// a frequency and a chain of effects, mixed in 32-bit float at the device's
// rate, with a primary volume and pan, and clipped once at the output.
//
// The mixer runs in the audio device's callback, or, without a device (a
// headless run, or no audio hardware), on a thread of its own paced by the
// clock, so that cursors move, sounds end and streams refill in real time
// either way. It can also record everything it mixes to a WAV file.
//
// Every function here may be called from any thread, but the sound slots call
// them from the window thread only; refill threads only write into buffer
// memory that LockSoundBuffer handed out. The mixer takes one short lock per
// pass, which the control functions take for a few instructions each.
#pragma once
#include <cstdint>
#include <string>

struct SoundBuffer;

struct SoundFormat {
  uint16_t channels = 2;  // 1 to 8; mono plays on both sides, channels past the second are not heard
  uint32_t rate = 22050;  // frames per second of the data
  uint16_t bits = 16;     // 8 (unsigned) or 16 (signed little-endian)
  uint32_t FrameSize() const { return channels * bits / 8u; }
};

// The eight effects of a buffer's chain. Parameters are the 32-bit fields of
// the effect's parameter record, in order, floats as their bit patterns.
enum class SoundEffectKind : uint8_t {
  kChorus,
  kCompressor,
  kDistortion,
  kEcho,
  kFlanger,
  kGargle,
  kParametricEqualiser,
  kReverb,
};
constexpr int kSoundEffectKinds = 8;
constexpr int kSoundEffectFields = 7;
struct SoundEffectSettings {
  SoundEffectKind kind;
  uint32_t fields[kSoundEffectFields];
};

// ---- The device ----

struct SoundDeviceOptions {
  bool use_hardware = true;  // false: the clock-paced mixer, never the audio device
  std::string record_path;   // non-empty: everything mixed goes to this WAV file
  uint32_t rate = 48000;     // the clock-paced mixer's rate (a device picks its own)
  bool paced = true;         // false (tests, benchmarks): nothing mixes but MixSoundFrames
};

// Opens the device, or the clock-paced mixer when there is no hardware or it
// fails to open. False only when the recording cannot be created; the mixer
// then runs without it.
bool OpenSoundDevice(const SoundDeviceOptions& options);
// Stops mixing, finishes the recording and releases every buffer still there.
void CloseSoundDevice();
bool SoundDeviceOpen();
uint32_t SoundDeviceRate();  // frames per second of the mix; 0 when closed

// The primary volume and pan (hundredths of a decibel: volume -10000..0, pan
// -10000 left only .. 10000 right only), applied to the whole mix.
void SetPrimaryVolume(int32_t volume);
int32_t GetPrimaryVolume();
void SetPrimaryPan(int32_t pan);
int32_t GetPrimaryPan();

// ---- Buffers ----

// A buffer of `bytes` bytes (whole frames) of the format, filled with
// silence, stopped at position 0. effects: whether SetSoundBufferEffects may
// give it a chain. Null when the device is closed, the format or size is not
// usable, or memory is short.
SoundBuffer* CreateSoundBuffer(const SoundFormat& format, uint32_t bytes, bool effects);
void ReleaseSoundBuffer(SoundBuffer* buffer);
SoundFormat GetSoundBufferFormat(const SoundBuffer* buffer);
uint32_t GetSoundBufferSize(const SoundBuffer* buffer);

// Hands out the memory of `bytes` bytes from `offset`, wrapping at the end:
// the first region and, when it wraps, the second. The caller writes into
// them while the buffer may be playing (the mixer reads what is there).
bool LockSoundBuffer(SoundBuffer* buffer, uint32_t offset, uint32_t bytes, uint8_t** first, uint32_t* first_size,
                     uint8_t** second, uint32_t* second_size);

// Starts at the current position; a non-looping buffer stops by itself at its
// end (its position then goes back to 0).
void PlaySoundBuffer(SoundBuffer* buffer, bool looping);
void StopSoundBuffer(SoundBuffer* buffer);  // the position stays where it is
bool SoundBufferPlaying(const SoundBuffer* buffer);
// Byte offsets: the play cursor, and the write cursor (where it is safe to
// write, a little ahead of the play cursor while playing).
void GetSoundBufferPosition(const SoundBuffer* buffer, uint32_t* play, uint32_t* write);
void SetSoundBufferPosition(SoundBuffer* buffer, uint32_t offset);  // rounded down to a frame; past the end: no change

// Hundredths of a decibel: volume -10000 (silent) .. 0, pan -10000 .. 10000
// (a negative pan lowers the right channel by that much, a positive one the
// left). Frequency in hertz, 100 .. 200000, or 0 for the format's own rate.
void SetSoundBufferVolume(SoundBuffer* buffer, int32_t volume);
int32_t GetSoundBufferVolume(const SoundBuffer* buffer);
void SetSoundBufferPan(SoundBuffer* buffer, int32_t pan);
int32_t GetSoundBufferPan(const SoundBuffer* buffer);
bool SetSoundBufferFrequency(SoundBuffer* buffer, uint32_t hertz);
uint32_t GetSoundBufferFrequency(const SoundBuffer* buffer);

// Replaces the buffer's effect chain (count 0 removes it); the effects run in
// the given order on the buffer's sound, at the mix rate, before its volume
// and pan. False when the buffer was made without effects or memory is short.
bool SetSoundBufferEffects(SoundBuffer* buffer, const SoundEffectSettings* effects, int count);

// ---- Streams ----

// A stream is any other producer of sound (music, CD audio, video): the
// mixer calls its fill function from the mixing thread for every block,
// asking for `frames` stereo frames at `rate` (SoundDeviceRate()),
// interleaved left/right floats in -1..1, which it adds to the mix before the
// primary volume. The function must fill all of them (silence when it has
// nothing), must not block, allocate or call any function of this header.
using SoundStreamFill = void (*)(void* user, float* stereo_frames, uint32_t frames, uint32_t rate);
// A stream id (>= 0), or -1 when the table of 16 is full or the device closed.
int AddSoundStream(SoundStreamFill fill, void* user);
// After it returns the fill function is never called again for that id.
void RemoveSoundStream(int id);

// ---- For tests and benchmarks ----

// Mixes the next `frames` stereo float frames into `out` as the device
// would (used by an unpaced mixer; nothing is recorded).
void MixSoundFrames(float* out, uint32_t frames);
