#include "plot.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "safewrite.h"

std::vector<TargetSpan> melodyTimeline(const EffectState& state, long long frames, int sampleRate) {
  std::vector<TargetSpan> spans;
  if (!state.channels || !state.channels[0] || frames <= 0 || sampleRate <= 0) return spans;
  const DelayChannel& channel = *state.channels[0];
  const double rate = sampleRate;
  auto add = [&](long long from, long long to, double ratio, bool passThrough) {
    to = std::min(to, frames);
    if (to <= from) return;
    if (!spans.empty() && spans.back().ratio == ratio && spans.back().passThrough == passThrough &&
        spans.back().end == from / rate) {
      spans.back().end = to / rate;
      return;
    }
    spans.push_back({from / rate, to / rate, ratio, passThrough});
  };

  // The block processor's clock on private counters, so the shared notes'
  // repeat counters are left alone.
  std::map<const Note*, int> repeatsTaken;
  const Note* note = channel.note;
  int tickCount = channel.tickCount;
  int tickLength = channel.tickLength;
  int tickRemainder = channel.tickRemainder;
  long long frame = -channel.frameInTick;  // start of the tick under way
  long long noteStart = 0;
  while (note && noteStart < frames) {
    frame += tickLength;
    ++tickCount;
    tickLength = tickLengthAfter(state, tickCount, tickRemainder);
    const bool ended = noteEnded(tickCount, note->duration);
    if (!ended && frame < frames) continue;
    add(noteStart, frame, note->frequency / state.baseFrequency, false);
    if (!ended) break;
    tickCount = 0;
    noteStart = frame;
    note = followingNote(note, repeatsTaken[note]);
  }
  if (!note) add(noteStart, frames, 1.0, true);
  return spans;
}

std::vector<PitchFrame> trackLoudestChannel(const std::vector<float>& samples, int channels,
                                            const PitchOptions& options) {
  if (channels < 1) return {};
  const std::size_t stride = static_cast<std::size_t>(channels);
  const std::size_t frames = samples.size() / stride;
  std::size_t loudest = 0;
  double most = -1;
  for (std::size_t c = 0; c < stride; ++c) {
    double energy = 0;
    for (std::size_t f = 0; f < frames; ++f)
      energy += double(samples[f * stride + c]) * samples[f * stride + c];
    if (energy > most) {
      most = energy;
      loudest = c;
    }
  }
  if (frames == 0) return {};
  return trackPitch(samples.data() + loudest, frames, stride, options);
}

double medianPitch(const std::vector<PitchFrame>& frames) {
  std::vector<double> voiced;
  for (const PitchFrame& f : frames)
    if (f.hz > 0) voiced.push_back(f.hz);
  if (voiced.empty()) return 0;
  auto middle = voiced.begin() + static_cast<std::ptrdiff_t>(voiced.size() / 2);
  std::nth_element(voiced.begin(), middle, voiced.end());
  return *middle;
}

namespace {

// Drawing area inside the picture, in SVG user units.
constexpr double width = 960, height = 520;
constexpr double left = 80, right = width - 30, top = 78, bottom = height - 58;

std::string escapeXml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// 1, 2 or 5 times a power of ten, near `rough`.
double niceStep(double rough) {
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= rough) return m * power;
  return 10 * power;
}

// Grid values for a logarithmic pitch axis: as many of the round values as
// fit without crowding.
std::vector<double> pitchTicks(double low, double high) {
  const std::vector<std::vector<double>> mantissaSets = {
      {1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8}, {1, 1.5, 2, 3, 5, 7}, {1, 2, 5}, {1}};
  std::vector<double> ticks;
  for (const auto& mantissas : mantissaSets) {
    ticks.clear();
    for (int exponent = static_cast<int>(std::floor(std::log10(low)));
         exponent <= static_cast<int>(std::ceil(std::log10(high))); ++exponent)
      for (double m : mantissas) {
        const double value = m * std::pow(10.0, exponent);
        if (value >= low && value <= high) ticks.push_back(value);
      }
    if (ticks.size() <= 12) break;
  }
  return ticks;
}

std::string number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

namespace {

// Where times and pitches lie in the picture.
struct PlotScale {
  double low;  // Hz at the bottom of the drawing area
  double high;
  double seconds;
  double x(double t) const { return left + (right - left) * t / seconds; }
  double y(double hz) const {
    return bottom - (bottom - top) * std::log(hz / low) / std::log(high / low);
  }
};

// Pitch range: the target's, widened to the measured pitches that lie within
// an octave of it (farther ones are tracker slips and are clipped).
PlotScale scaleFor(const PitchPlot& plot) {
  double low = 0, high = 0;
  for (const TargetSpan& s : plot.target) {
    const double hz = s.ratio * plot.referenceHz;
    if (hz <= 0) continue;
    low = low > 0 ? std::min(low, hz) : hz;
    high = std::max(high, hz);
  }
  const double targetLow = low, targetHigh = high;
  for (const PitchFrame& f : plot.measured) {
    if (f.hz <= 0) continue;
    if (targetLow > 0 && (f.hz < targetLow / 2 || f.hz > targetHigh * 2)) continue;
    low = low > 0 ? std::min(low, f.hz) : f.hz;
    high = std::max(high, f.hz);
  }
  if (low <= 0) low = high = plot.referenceHz > 0 ? plot.referenceHz : 440;
  low /= 1.12;
  high *= 1.12;
  if (high / low < 2) {  // at least an octave, centred on what there is
    const double widen = std::sqrt(2 / (high / low));
    low /= widen;
    high *= widen;
  }
  return {low, high, plot.seconds > 0 ? plot.seconds : 1};
}

void putHeader(std::string& svg, const PitchPlot& plot) {
  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width, 0) + "\" height=\"" +
         number(height, 0) + "\" viewBox=\"0 0 " + number(width, 0) + " " + number(height, 0) +
         "\" font-family=\"sans-serif\" font-size=\"13\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg += "<clipPath id=\"area\"><rect x=\"" + number(left, 1) + "\" y=\"" + number(top, 1) +
         "\" width=\"" + number(right - left, 1) + "\" height=\"" + number(bottom - top, 1) +
         "\"/></clipPath>\n";
  svg += "<text x=\"" + number(left, 1) + "\" y=\"22\" font-size=\"16\" font-weight=\"bold\">" +
         escapeXml(plot.title) + "</text>\n";
  svg += "<text x=\"" + number(left, 1) + "\" y=\"40\" fill=\"#444\">" + escapeXml(plot.subtitle) +
         "</text>\n";
}

// Grid, tick labels, frame and axis titles.
void putAxes(std::string& svg, const PlotScale& scale) {
  for (double hz : pitchTicks(scale.low, scale.high)) {
    const std::string py = number(scale.y(hz), 1);
    svg += "<line x1=\"" + number(left, 1) + "\" x2=\"" + number(right, 1) + "\" y1=\"" + py +
           "\" y2=\"" + py + "\" stroke=\"#ddd\"/>\n";
    svg += "<text x=\"" + number(left - 6, 1) + "\" y=\"" + number(scale.y(hz) + 4, 1) +
           "\" text-anchor=\"end\">" + number(hz, hz < 10 ? 1 : 0) + "</text>\n";
  }
  const double seconds = scale.seconds;
  const double step = niceStep(seconds / 8);
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
  for (int i = 0; i * step <= seconds * (1 + 1e-9); ++i) {
    const std::string px = number(scale.x(i * step), 1);
    svg += "<line x1=\"" + px + "\" x2=\"" + px + "\" y1=\"" + number(top, 1) + "\" y2=\"" +
           number(bottom, 1) + "\" stroke=\"#ddd\"/>\n";
    svg += "<text x=\"" + px + "\" y=\"" + number(bottom + 18, 1) + "\" text-anchor=\"middle\">" +
           number(i * step, decimals) + "</text>\n";
  }
  svg += "<rect x=\"" + number(left, 1) + "\" y=\"" + number(top, 1) + "\" width=\"" +
         number(right - left, 1) + "\" height=\"" + number(bottom - top, 1) +
         "\" fill=\"none\" stroke=\"#333\"/>\n";
  svg += "<text x=\"" + number((left + right) / 2, 1) + "\" y=\"" + number(height - 16, 1) +
         "\" text-anchor=\"middle\">time (s)</text>\n";
  svg += "<text transform=\"translate(20 " + number((top + bottom) / 2, 1) +
         ") rotate(-90)\" text-anchor=\"middle\">pitch (Hz, log scale)</text>\n";
}

// The target: one step line per stretch of notes, dashed where the melody
// has ended and the input passes through.
void putTarget(std::string& svg, const PitchPlot& plot, const PlotScale& scale) {
  svg += "<g clip-path=\"url(#area)\" fill=\"none\" stroke-width=\"3\" stroke-opacity=\"0.75\">\n";
  for (std::size_t i = 0; i < plot.target.size();) {
    const bool passThrough = plot.target[i].passThrough;
    std::string d = "M" + number(scale.x(plot.target[i].start), 1) + "," +
                    number(scale.y(plot.target[i].ratio * plot.referenceHz), 1);
    for (; i < plot.target.size() && plot.target[i].passThrough == passThrough; ++i) {
      const TargetSpan& s = plot.target[i];
      d += " V" + number(scale.y(s.ratio * plot.referenceHz), 1) + " H" + number(scale.x(s.end), 1);
    }
    svg += "<path d=\"" + d + "\" stroke=\"" + (passThrough ? "#999" : "#e8710a") + "\"" +
           (passThrough ? " stroke-dasharray=\"8 5\"" : "") + "/>\n";
  }
  svg += "</g>\n";
}

// The measured pitch, one dot per analysis window.
void putMeasured(std::string& svg, const PitchPlot& plot, const PlotScale& scale) {
  svg += "<g clip-path=\"url(#area)\" fill=\"#1a5fb4\">\n";
  for (const PitchFrame& f : plot.measured) {
    if (f.hz <= 0) continue;
    svg += "<circle cx=\"" + number(scale.x(f.time), 1) + "\" cy=\"" + number(scale.y(f.hz), 1) +
           "\" r=\"1.8\"/>\n";
  }
  svg += "</g>\n";
}

// Legend above the plot area.
void putLegend(std::string& svg, const PitchPlot& plot) {
  const double legendY = top - 14;
  svg += "<line x1=\"" + number(left, 1) + "\" x2=\"" + number(left + 28, 1) + "\" y1=\"" +
         number(legendY, 1) + "\" y2=\"" + number(legendY, 1) +
         "\" stroke=\"#e8710a\" stroke-width=\"3\"/>\n";
  svg += "<text x=\"" + number(left + 34, 1) + "\" y=\"" + number(legendY + 4, 1) + "\">" +
         escapeXml(plot.targetLabel) + "</text>\n";
  const double second = left + 520;
  svg += "<circle cx=\"" + number(second + 10, 1) + "\" cy=\"" + number(legendY, 1) +
         "\" r=\"3\" fill=\"#1a5fb4\"/>\n";
  svg += "<text x=\"" + number(second + 20, 1) + "\" y=\"" + number(legendY + 4, 1) + "\">" +
         escapeXml(plot.measuredLabel) + "</text>\n";
}

}  // namespace

bool writePitchPlot(const std::string& path, const PitchPlot& plot, std::string& error) {
  const PlotScale scale = scaleFor(plot);
  std::string svg;
  putHeader(svg, plot);
  putAxes(svg, scale);
  putTarget(svg, plot, scale);
  putMeasured(svg, plot, scale);
  putLegend(svg, plot);
  svg += "</svg>\n";
  // Replaced whole, or written to as it is when it is no plain file.
  return writeOutput(path, svg, error);
}
