#include "vowel.h"

#include <cmath>

double vowelPitchAt(const VowelPitch& p, double t) {
  const double cents = p.driftCents * std::sin(2 * M_PI * p.driftHz * t) +
                       p.vibratoCents * std::sin(2 * M_PI * p.vibratoHz * t);
  return p.hz * std::pow(2.0, cents / 1200);
}

std::vector<float> sungVowel(std::size_t frames, int rate, const VowelPitch& p) {
  struct Formant {
    double hz, width, gain;
  };
  const Formant formants[] = {{700, 130, 1.0}, {1220, 70, 0.5}, {2600, 160, 0.25}};
  std::vector<float> x(frames);
  const int harmonics = static_cast<int>(5000 / p.hz);
  std::vector<double> weight(static_cast<std::size_t>(harmonics) + 1);
  double phase = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const double f0 = vowelPitchAt(p, static_cast<double>(i) / rate);
    // The weights follow the harmonics through the formants, every 64 frames.
    if (i % 64 == 0) {
      for (int h = 1; h <= harmonics; ++h) {
        double w = 0;
        for (const Formant& f : formants) {
          const double d = (h * f0 - f.hz) / f.width;
          w += f.gain / (1 + d * d);
        }
        weight[static_cast<std::size_t>(h)] = w / h;
      }
    }
    phase += 2 * M_PI * f0 / rate;
    double v = 0;
    for (int h = 1; h <= harmonics; ++h)
      v += weight[static_cast<std::size_t>(h)] * std::sin(h * phase);
    x[i] = static_cast<float>(0.3 * v);
  }
  return x;
}
