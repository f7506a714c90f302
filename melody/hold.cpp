// Which pitch the live program holds for a note, and the unit that makes
// every note of a melody hold within a cent of its target.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "melody.h"

double heldRatio(double base, float frequency) {
  // The program's cycle builder, step for step in the same arithmetic: the
  // phase gains the base once per frame of move until it is no longer
  // negative and loses the frequency once per step; the ring closes at the
  // first earlier step (the very first one aside) whose start phase lies
  // within 1 of the new one. Steps after the first are at least 1 apart,
  // so each whole-unit bucket holds at most one.
  struct Step {
    double phase;
    long long count;  // frames of move before the step
  };
  std::vector<Step> steps;
  std::unordered_map<long long, std::size_t> byBucket;
  const double f = static_cast<double>(frequency);
  double phase = 0;
  long long count = 0;
  for (;;) {
    const double start = phase;
    const long long startCount = count;
    while (phase < 0) {
      phase += base;
      count += 1;
    }
    phase -= f;
    if (!steps.empty()) {
      const long long bucket = static_cast<long long>(std::floor(start));
      std::size_t match = steps.size();
      for (long long b = bucket - 1; b <= bucket + 1; ++b) {
        const auto found = byBucket.find(b);
        if (found == byBucket.end()) continue;
        const double difference = steps[found->second].phase - start;
        if (difference > -1 && difference < 1 && found->second < match) match = found->second;
      }
      if (match < steps.size()) {
        const double moves = static_cast<double>(startCount - steps[match].count);
        return moves / static_cast<double>(steps.size() - match);
      }
      byBucket[bucket] = steps.size();
    }
    steps.push_back({start, startCount});
  }
}

namespace {

double writtenNumber(double value) {
  return std::strtod(formatNumber(value).c_str(), nullptr);
}

// How far the note at `hz` lands from its target in a melody written in
// units of 1/factor Hz, in cents.
double centsOff(double base, double hz, int factor) {
  const double writtenBase = writtenNumber(factor * base);
  const auto writtenNote = static_cast<float>(writtenNumber(factor * hz));
  return 1200 * std::log2(heldRatio(writtenBase, writtenNote) / (hz / base));
}

// A written base B holds every note of 1 Hz or more within 1/(B - 1) of its
// ratio, within a cent from about 1733 on. The factors tried, in order:
// every whole factor up to 100, then, for a base so low that those stay
// under 1733, factors from there on in steps of a twentieth, up to the
// highest base the program takes.
std::vector<int> candidateFactors(double base) {
  auto fits = [&](double factor) { return writtenNumber(factor * base) <= maxBase; };
  std::vector<int> factors;
  for (int factor = 1; factor <= 100 && fits(factor); ++factor) factors.push_back(factor);
  for (double factor = std::ceil(1733 / base); factor <= 1e9 && fits(factor);
       factor = std::ceil(factor * 1.05))
    if (factor > 100) factors.push_back(static_cast<int>(factor));
  if (factors.empty()) factors.push_back(1);
  return factors;
}

}  // namespace

MelodyUnit chooseUnit(double base, const std::vector<double>& hz) {
  std::vector<double> distinct;
  std::unordered_set<double> seen;
  for (double f : hz)
    if (seen.insert(f).second) distinct.push_back(f);
  // The worst note at one factor; with `giveUp`, stops at the first note
  // that misses (its worst is then that note's).
  auto evaluate = [&](int factor, std::size_t first, bool giveUp) {
    MelodyUnit unit{factor, 0, 0};
    for (std::size_t n = 0; n < distinct.size(); ++n) {
      const std::size_t i = (first + n) % distinct.size();
      const double off = std::fabs(centsOff(base, distinct[i], factor));
      if (off > unit.worstCents) {
        unit.worstCents = off;
        unit.worstHz = distinct[i];
        first = i;
      }
      if (giveUp && off >= maxCentsOff) break;
    }
    return unit;
  };
  // The smallest factor that holds every note, trying first at each factor
  // the note that missed at the one before, as the likeliest to miss again.
  const std::vector<int> factors = candidateFactors(base);
  std::size_t first = 0;
  for (int factor : factors) {
    const MelodyUnit unit = evaluate(factor, first, true);
    if (unit.worstCents < maxCentsOff) return unit;
    first = static_cast<std::size_t>(std::find(distinct.begin(), distinct.end(), unit.worstHz) -
                                     distinct.begin());
  }
  // None does (a note under 1 Hz far below the base): the finest unit tried.
  return evaluate(factors.back(), 0, false);
}
