// What the effect is told at set-up: the choices its caller made. The effect
// reads nothing else, so any caller (the program, the render tool, a plugin
// host, a test) can hold effects of its own.
#pragma once

// 0 leaves the output as the effect wrote it; 1 copies each frame's left
// sample to its right; 2 copies right to left.
enum StereoMode { stereoNone = 0, stereoLeftToBoth = 1, stereoRightToBoth = 2 };

// How the effect's read position jumps when it runs out of range: by one
// whole block (the default), or to where the input's waveform matches.
enum SpliceMode { spliceBlock = 0, spliceMatched = 1 };

// How matched splices read the history: the whole frame nearest below the
// exact read position (the default), or the exact position itself through a
// band-limited interpolator, with a short crossfade at every jump.
enum ReadMode { readVerbatim = 0, readInterpolated = 1 };
// What a note's frequency means: a ratio to the base frequency applied to
// whatever pitch comes in (the default), or the pitch that must come out, in
// Hz, whatever pitch comes in (the input's pitch is measured as it plays).
enum PitchMode { pitchRelative = 0, pitchAbsolute = 1 };

// The most delay the matched splices may build up, in milliseconds, unless
// the caller says otherwise.
constexpr int defaultMaxDelayMs = 25;

// Receives one formatted message of the effect's set-up.
using EffectLog = void (*)(void* context, const char* text);

struct EffectSettings {
  int loop = 0;  // non-zero: the melody starts again after its last note
  StereoMode stereoMode = stereoNone;
  SpliceMode spliceMode = spliceBlock;
  ReadMode readMode = readVerbatim;    // interpolated needs matched splices
  int maxDelayMs = defaultMaxDelayMs;  // as asked; matched set-up clamps it to what fits
  int sampleRate = 44100;
  PitchMode pitchMode = pitchRelative;  // absolute always plays with matched splices
  // Absolute pitch: the time constant, in ms, with which the correction
  // follows the measured pitch; 0 corrects at once.
  int retuneMs = 0;
  // Where set-up messages go; null prints them on standard output.
  EffectLog log = nullptr;
  void* logContext = nullptr;
  // Zero keeps the audio thread from printing, for hosts where it must not:
  // the delay report is then only counted (EffectState::reportCounter and
  // lastReportedDelay).
  int audioThreadPrints = 1;
};
