// A synthetic sung vowel whose pitch is known at every instant: the signal
// that the benchmarks and tests measure pitch tracking and correction on.
#pragma once

#include <cstddef>
#include <vector>

// The fundamental: `hz` with a slow drift and a vibrato on top, both sine
// waves in cents.
struct VowelPitch {
  double hz = 150;
  double vibratoCents = 20;
  double vibratoHz = 5;
  double driftCents = 0;
  double driftHz = 0.2;
};

// The fundamental in Hz at `seconds` from the start.
double vowelPitchAt(const VowelPitch& pitch, double seconds);

// An "ah": the harmonics of the fundamental up to 5 kHz (of its centre
// pitch), each weighted by three formant resonances (700, 1220 and 2600 Hz)
// on a source falling 6 dB per octave; peaks near 0.5.
std::vector<float> sungVowel(std::size_t frames, int rate, const VowelPitch& pitch);
