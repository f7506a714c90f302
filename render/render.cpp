#include "render.h"

#include <getopt.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "callback.h"
#include "effect.h"
#include "options.h"
#include "plot.h"
#include "safewrite.h"

const char* const renderUsage =
    "Usage: glidewarp-render [OPTIONS] INPUT MELODY OUTPUT\n"
    "\n"
    "Plays INPUT through glidewarper's pitch-bending effect, following the melody\n"
    "file MELODY, exactly as the live program would play it, and writes what it\n"
    "would have played to OUTPUT: a 32-bit float WAV file with INPUT's sample rate,\n"
    "channel count and length.\n"
    "\n"
    "INPUT is any sound file that libsndfile reads (WAV, AIFF, FLAC, Ogg, ...) with\n"
    "1 to 4 channels at any rate from 8000 to 192000 frames per second. A tick of\n"
    "the melody lasts 1 ms on average at every rate, as it does live.\n"
    "\n"
    "The effect is set up as the live program sets it up for a stream of INPUT's\n"
    "channels: one delay line of 200 buffers, each buffer N frames of all channels\n"
    "together. INPUT is cut into buffers of N frames (the last padded with silence)\n"
    "and handed to the program's own audio callback one after another.\n"
    "\n"
    "Options:\n"
    "  --frames N       frames per buffer, as the audio device would deliver them\n"
    "                   (default 512; 1 to 65536). The bend's pattern and the\n"
    "                   delay depend on it, as they do live.\n"
    "  --loop           play the melody endlessly, like \"InfiniteLoop: yes\" in the\n"
    "                   configuration file; otherwise INPUT passes through unchanged\n"
    "                   once the melody has ended\n"
    "  --stereo MODE    like the configuration's \"Stereo:\" line: left-to-both copies\n"
    "                   each frame's first sample to its second, right-to-both the\n"
    "                   second to the first, none (the default) leaves both;\n"
    "                   channels after the second are left alone\n"
    "  --splice MODE    like the configuration's \"Splice:\" line: how the read\n"
    "                   position jumps when a bent note takes it out of range.\n"
    "                   block (the default) jumps by one whole buffer; matched\n"
    "                   jumps to where the waveform matches, keeping the delay\n"
    "                   within one buffer plus --max-delay (see the README)\n"
    "  --max-delay MS   like \"MaxDelay:\": the most delay matched splices may\n"
    "                   build up beyond one buffer, in milliseconds (default 25;\n"
    "                   at least 5, at most what the history holds: a line says\n"
    "                   so when it is clamped). Block jumps ignore it\n"
    "  --read MODE      like \"Read:\": how matched splices read the input.\n"
    "                   verbatim (the default) copies whole frames; interpolated\n"
    "                   reads between them through a band-limited interpolator\n"
    "                   and crossfades each jump, for a purer sound at a third\n"
    "                   of a millisecond more delay. Needs --splice matched\n"
    "  --pitch MODE     like the configuration's \"Pitch:\" line: relative (the\n"
    "                   default) bends INPUT by each note's frequency over the\n"
    "                   base; absolute takes a note's frequency as the pitch that\n"
    "                   must come out, in Hz, measures INPUT's pitch as it plays\n"
    "                   and bends by the difference (a note at the base frequency\n"
    "                   is a rest: INPUT keeps its own pitch). Absolute pitch\n"
    "                   always uses matched splices\n"
    "  --retune MS      like \"Retune:\": with --pitch absolute, the time constant\n"
    "                   in milliseconds with which the correction follows INPUT's\n"
    "                   pitch (default 0: at once; 500 lets vibrato through)\n"
    "  --plot FILE.svg  also draw a picture of the pitch over time (see below)\n"
    "  -h, --help       show this text\n"
    "\n"
    "The effect's own messages (the set-up lines and a delay report every 1000\n"
    "buffers) go to standard output, as in the live program. A progress bar goes to\n"
    "standard error when that is a terminal, and so do errors.\n"
    "\n"
    "The picture shows time in OUTPUT on the horizontal axis and pitch in Hz on a\n"
    "logarithmic vertical axis. The orange line is the melody's target: each note's\n"
    "frequency divided by the melody's base frequency, times the pitch measured in\n"
    "INPUT (the median over the whole file), with notes, repeats and loops laid out\n"
    "as they are played (with --pitch absolute, each note's own frequency; a rest\n"
    "shows at the base frequency); a grey dashed line marks the time after a\n"
    "melody without --loop has ended. When INPUT has no measurable pitch, the base\n"
    "frequency stands in for it. The blue dots are the pitch measured in OUTPUT\n"
    "every 10 ms (on its loudest channel). Where the dots sit on the line, the bend\n"
    "follows the melody; this reads best for an input that holds one steady pitch.\n"
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written or the\n"
    "effect cannot be set up, 2 for a bad command line.\n";

static constexpr int maxFramesPerBuffer = 65536;

namespace {

bool parseFrames(const char* text, RenderOptions& options, std::string& error) {
  long frames;
  if (!parseWholeNumber(text, 1, maxFramesPerBuffer, frames)) {
    error = std::string("--frames needs a whole number from 1 to ") +
            std::to_string(maxFramesPerBuffer) + ", not '" + text + "'";
    return false;
  }
  options.framesPerBuffer = static_cast<int>(frames);
  return true;
}

bool parseStereo(const char* text, RenderOptions& options, std::string& error) {
  static const std::pair<const char*, StereoMode> modes[] = {{"none", stereoNone},
                                                             {"left-to-both", stereoLeftToBoth},
                                                             {"right-to-both", stereoRightToBoth}};
  if (parseChoice(text, modes, options.stereoMode)) return true;
  error = std::string("--stereo takes none, left-to-both or right-to-both, not '") + text + "'";
  return false;
}

bool parseSplice(const char* text, RenderOptions& options, std::string& error) {
  static const std::pair<const char*, SpliceMode> modes[] = {{"block", spliceBlock},
                                                             {"matched", spliceMatched}};
  if (parseChoice(text, modes, options.spliceMode)) return true;
  error = std::string("--splice takes block or matched, not '") + text + "'";
  return false;
}

bool parseRead(const char* text, RenderOptions& options, std::string& error) {
  static const std::pair<const char*, ReadMode> modes[] = {{"verbatim", readVerbatim},
                                                           {"interpolated", readInterpolated}};
  if (parseChoice(text, modes, options.readMode)) return true;
  error = std::string("--read takes verbatim or interpolated, not '") + text + "'";
  return false;
}

bool parsePitch(const char* text, RenderOptions& options, std::string& error) {
  static const std::pair<const char*, PitchMode> modes[] = {{"relative", pitchRelative},
                                                            {"absolute", pitchAbsolute}};
  if (parseChoice(text, modes, options.pitchMode)) return true;
  error = std::string("--pitch takes relative or absolute, not '") + text + "'";
  return false;
}

bool parseRetune(const char* text, RenderOptions& options, std::string& error) {
  long ms;
  if (!parseWholeNumber(text, 0, INT_MAX, ms)) {
    error = std::string("--retune needs a whole number of milliseconds, not '") + text + "'";
    return false;
  }
  options.retuneMs = static_cast<int>(ms);
  return true;
}

bool parseMaxDelay(const char* text, RenderOptions& options, std::string& error) {
  long ms;
  if (!parseWholeNumber(text, 0, INT_MAX, ms)) {
    error = std::string("--max-delay needs a whole number of milliseconds, not '") + text + "'";
    return false;
  }
  options.maxDelayMs = static_cast<int>(ms);
  return true;
}

}  // namespace

bool parseRenderArgs(int argc, char** argv, RenderOptions& options, std::string& error) {
  static const option longOptions[] = {{"frames", required_argument, nullptr, 'f'},
                                       {"loop", no_argument, nullptr, 'l'},
                                       {"stereo", required_argument, nullptr, 's'},
                                       {"plot", required_argument, nullptr, 'p'},
                                       {"splice", required_argument, nullptr, 'm'},
                                       {"max-delay", required_argument, nullptr, 'd'},
                                       {"read", required_argument, nullptr, 'r'},
                                       {"pitch", required_argument, nullptr, 'P'},
                                       {"retune", required_argument, nullptr, 'R'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, one line each
  optind = 0;  // start afresh, so the parser can be used more than once
  int c;
  while ((c = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1) {
    bool parsed = true;
    switch (c) {
      case 'f':
        parsed = parseFrames(optarg, options, error);
        break;
      case 'l':
        options.loop = 1;
        break;
      case 's':
        parsed = parseStereo(optarg, options, error);
        break;
      case 'm':
        parsed = parseSplice(optarg, options, error);
        break;
      case 'd':
        parsed = parseMaxDelay(optarg, options, error);
        break;
      case 'r':
        parsed = parseRead(optarg, options, error);
        break;
      case 'P':
        parsed = parsePitch(optarg, options, error);
        break;
      case 'R':
        parsed = parseRetune(optarg, options, error);
        break;
      case 'p':
        options.plotPath = optarg;
        break;
      case 'h':
        options.help = true;
        break;
      default:
        error = optionError(c, argv);
        return false;
    }
    if (!parsed) return false;
  }
  if (options.help) return true;
  // Absolute pitch always splices where the waveform matches.
  if (options.readMode == readInterpolated && options.spliceMode != spliceMatched &&
      options.pitchMode != pitchAbsolute) {
    error = "--read interpolated needs --splice matched: block jumps copy whole buffers";
    return false;
  }
  std::vector<std::string> positional(argv + optind, argv + argc);
  if (positional.size() != 3) {
    error = operandCountError("INPUT MELODY OUTPUT", static_cast<long>(positional.size()));
    return false;
  }
  options.inputPath = positional[0];
  options.melodyPath = positional[1];
  options.outputPath = positional[2];
  return true;
}

namespace {

struct SndFileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

__attribute__((format(printf, 1, 2))) void reportError(const char* format, ...) {
  std::fflush(stdout);  // keep the effect's lines before ours on a shared terminal
  std::fprintf(stderr, "glidewarp-render: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// One line on standard error, redrawn in place.
struct ProgressBar {
  bool enabled = false;
  bool shown = false;
  int lastPermille = -1;
};

void clearProgress(ProgressBar& bar) {
  if (!bar.shown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  bar.shown = false;
  bar.lastPermille = -1;
}

void drawProgress(ProgressBar& bar, long long done, long long total) {
  if (!bar.enabled || total <= 0) return;
  const int permille = static_cast<int>(std::min<long long>(1000, done * 1000 / total));
  if (permille == bar.lastPermille && bar.shown) return;
  constexpr int width = 40;
  char line[width + 1];
  const int filled = permille * width / 1000;
  for (int i = 0; i < width; ++i) line[i] = i < filled ? '#' : '.';
  line[width] = '\0';
  std::fflush(stdout);
  std::fprintf(stderr, "\r[%s] %5.1f%%", line, permille / 10.0);
  std::fflush(stderr);
  bar.shown = true;
  bar.lastPermille = permille;
}

// Refuses a melody path that cannot be read, so the user gets the reason
// rather than the set-up's generic complaint.
bool melodyReadable(const std::string& path, std::string& reason) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    reason = std::strerror(errno);
    return false;
  }
  std::fgetc(file);  // a folder opens but fails to read
  const bool failed = std::ferror(file);
  const int readErrno = errno;
  std::fclose(file);
  if (failed) reason = std::strerror(readErrno);
  return !failed;
}

bool drawPicture(const EffectState& fx, const RenderOptions& options,
                 const std::vector<TargetSpan>& timeline, const std::vector<float>& input,
                 const std::vector<float>& output, int channels, int rate, double seconds,
                 std::string& error) {
  PitchOptions inputOptions;
  inputOptions.sampleRate = rate;
  inputOptions.hop = static_cast<std::size_t>(rate / 100);
  const double inputHz = medianPitch(trackLoudestChannel(input, channels, inputOptions));
  // Absolute notes are the pitch itself: ratio 1 stands for the base frequency.
  const bool absolute = options.pitchMode == pitchAbsolute;
  const double referenceHz = inputHz > 0 && !absolute ? inputHz : fx.baseFrequency;

  // Look for the output's pitch around the targets, wider than the defaults
  // when the melody goes far up or down.
  double lowest = referenceHz, highest = referenceHz;
  for (const TargetSpan& s : timeline) {
    lowest = std::min(lowest, s.ratio * referenceHz);
    highest = std::max(highest, s.ratio * referenceHz);
  }
  PitchOptions outputOptions = inputOptions;
  // A bent note's jumps of one block break its period now and then, so a
  // shallower dip still counts as pitched.
  outputOptions.threshold = 0.3;
  outputOptions.minHz = std::clamp(lowest * 0.7, 40.0, outputOptions.minHz);
  outputOptions.maxHz = std::clamp(highest * 1.4, outputOptions.maxHz, rate / 3.0);

  PitchPlot plot;
  plot.title = "Pitch of " + options.outputPath;
  plot.subtitle = "melody " + options.melodyPath + " (base " +
                  std::to_string(static_cast<long long>(fx.baseFrequency + 0.5)) + "), input " +
                  options.inputPath + ", " + std::to_string(options.framesPerBuffer) +
                  " frames per buffer" +
                  (absolute                              ? ", absolute pitch"
                   : options.spliceMode == spliceMatched ? ", matched splices"
                                                         : "") +
                  (options.readMode == readInterpolated ? ", interpolated" : "") +
                  (options.loop ? ", looped" : "");
  plot.target = timeline;
  plot.referenceHz = referenceHz;
  char label[160];
  if (absolute)
    std::snprintf(label, sizeof label, "target: each note's frequency (absolute pitch)");
  else if (inputHz > 0)
    std::snprintf(label, sizeof label, "target: note / base x input pitch (%.1f Hz)", inputHz);
  else
    std::snprintf(label, sizeof label, "target: note / base x base (input has no clear pitch)");
  plot.targetLabel = label;
  plot.measured = trackLoudestChannel(output, channels, outputOptions);
  plot.measuredLabel = "pitch measured in the output";
  plot.seconds = seconds;
  return writePitchPlot(options.plotPath, plot, error);
}

}  // namespace

namespace {

// Refuses what cannot be rendered before anything is written: an unreadable
// INPUT or MELODY, an unsupported channel count, an OUTPUT that is one of
// the files being read.
bool checkFiles(const RenderOptions& options, const SndFilePtr& input, const SF_INFO& inputInfo) {
  if (!input) {
    reportError("cannot read %s: %s", options.inputPath.c_str(), sf_strerror(nullptr));
    return false;
  }
  if (inputInfo.channels < 1 || inputInfo.channels > 4) {
    reportError("%s has %d channels; 1 to 4 are supported", options.inputPath.c_str(),
                inputInfo.channels);
    return false;
  }
  std::string reason;
  if (!melodyReadable(options.melodyPath, reason)) {
    reportError("cannot read melody file %s: %s", options.melodyPath.c_str(), reason.c_str());
    return false;
  }
  // OUTPUT and the picture replace what they name: never a file being read,
  // nor each other.
  for (const std::string* source : {&options.inputPath, &options.melodyPath}) {
    if (sameFile(options.outputPath, *source)) {
      reportError("OUTPUT %s is the same file as %s", options.outputPath.c_str(), source->c_str());
      return false;
    }
  }
  if (options.plotPath.empty()) return true;
  for (const std::string* other : {&options.inputPath, &options.melodyPath, &options.outputPath}) {
    if (sameFile(options.plotPath, *other)) {
      reportError("--plot %s is the same file as %s", options.plotPath.c_str(), other->c_str());
      return false;
    }
  }
  return true;
}

// The live program's settings and set-up for a stream of INPUT's channels.
bool setUpEffect(EffectState& fx, const RenderOptions& options, int channels, int rate) {
  EffectSettings settings;
  settings.loop = options.loop;
  settings.stereoMode = options.stereoMode;
  settings.spliceMode = options.spliceMode;
  settings.readMode = options.readMode;
  settings.maxDelayMs = options.maxDelayMs;
  settings.pitchMode = options.pitchMode;
  settings.retuneMs = options.retuneMs;
  settings.sampleRate = rate;
  fx.numChannels = channels;
  fx.projectedFramesPerBuffer = options.framesPerBuffer;
  if (liveEffectInit(fx, settings, options.melodyPath.c_str(), channels, options.framesPerBuffer)) {
    printf("GlideWarp initialization failed\n");
    std::fflush(stdout);
    effectRelease(fx);
    return false;
  }
  return true;
}

// Frames read and written at a time, about: a whole number of buffers.
constexpr int chunkTarget = 32768;

// What the render loop produced.
struct Rendered {
  long long frames = 0;
  bool failed = false;               // reported already
  std::vector<float> input, output;  // kept only for a picture
};

// Hands INPUT to the stream callback buffer by buffer, the last one padded
// with silence, and writes what it plays to OUTPUT.
Rendered renderBlocks(EffectState& fx, const RenderOptions& options, SNDFILE* input,
                      const SF_INFO& inputInfo, SNDFILE* output, ProgressBar& bar) {
  const int frames = options.framesPerBuffer;
  const int channels = inputInfo.channels;
  const bool keep = !options.plotPath.empty();
  const std::size_t blockSamples = static_cast<std::size_t>(frames) * channels;
  // The file is read and written a chunk of whole buffers at a time: one
  // call per buffer would cost more than the effect itself at short buffers.
  const sf_count_t chunkFrames =
      std::max(1, chunkTarget / frames) * static_cast<sf_count_t>(frames);
  std::vector<float> inChunk(static_cast<std::size_t>(chunkFrames) * channels);
  std::vector<float> outChunk(inChunk.size());
  Rendered result;
  for (;;) {
    sf_count_t got = 0;
    while (got < chunkFrames) {
      const sf_count_t n =
          sf_readf_float(input, inChunk.data() + got * channels, chunkFrames - got);
      if (n <= 0) break;
      got += n;
    }
    if (got == 0) break;
    // The last buffer is padded with silence.
    const sf_count_t blocks = (got + frames - 1) / frames;
    std::fill(inChunk.begin() + got * channels, inChunk.begin() + blocks * frames * channels, 0.0f);
    for (sf_count_t b = 0; b < blocks; ++b) {
      const float* in = inChunk.data() + b * blockSamples;
      float* out = outChunk.data() + b * blockSamples;
      // A delay report is due on this block: clear the bar so the line stands alone.
      if (delayReportDue(fx)) clearProgress(bar);
      streamCallback(in, out, static_cast<unsigned long>(frames), nullptr, 0, &fx);
      const sf_count_t played = std::min<sf_count_t>(frames, got - b * frames);
      if (keep) {
        result.input.insert(result.input.end(), in, in + played * channels);
        result.output.insert(result.output.end(), out, out + played * channels);
      }
      result.frames += played;
      drawProgress(bar, result.frames, inputInfo.frames);
    }
    if (sf_writef_float(output, outChunk.data(), got) != got) {
      clearProgress(bar);
      reportError("cannot write %s: %s", options.outputPath.c_str(), sf_strerror(output));
      result.failed = true;
      break;
    }
    if (got < chunkFrames) break;
  }
  clearProgress(bar);
  return result;
}

// Draws the picture once the sound is written; false after reporting why not.
bool finishPicture(const EffectState& fx, const RenderOptions& options,
                   const std::vector<TargetSpan>& timeline, const Rendered& rendered,
                   const SF_INFO& inputInfo, ProgressBar& bar) {
  // Measuring the pitch takes seconds per minute of sound; say so.
  if (bar.enabled) {
    std::fputs("measuring pitch for the picture...", stderr);
    std::fflush(stderr);
    bar.shown = true;
  }
  std::string error;
  const bool drawn = drawPicture(
      fx, options, timeline, rendered.input, rendered.output, inputInfo.channels,
      inputInfo.samplerate, static_cast<double>(rendered.frames) / inputInfo.samplerate, error);
  clearProgress(bar);
  if (!drawn) reportError("cannot write picture %s: %s", options.plotPath.c_str(), error.c_str());
  return drawn;
}

}  // namespace

int runRender(const RenderOptions& options) {
  SF_INFO inputInfo{};
  SndFilePtr input(sf_open(options.inputPath.c_str(), SFM_READ, &inputInfo));
  if (!checkFiles(options, input, inputInfo)) return renderFailed;
  const int channels = inputInfo.channels;
  EffectState fx;
  if (!setUpEffect(fx, options, channels, inputInfo.samplerate)) return renderFailed;

  const bool plotting = !options.plotPath.empty();
  const bool lengthKnown = inputInfo.frames > 0 && inputInfo.frames < SF_COUNT_MAX;
  // The timeline starts from the state set-up leaves, so take it now.
  std::vector<TargetSpan> timeline;
  if (plotting && lengthKnown)
    timeline = melodyTimeline(fx, inputInfo.frames, inputInfo.samplerate);
  else if (plotting)
    reportError("%s does not tell its length; the picture will show no target",
                options.inputPath.c_str());

  SF_INFO outputInfo{};
  outputInfo.samplerate = inputInfo.samplerate;
  outputInfo.channels = channels;
  outputInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  // A fresh file that replaces OUTPUT once whole, or, for anything but a
  // plain file, a scratch file copied there at the end.
  OutputFile outputFile;
  std::string reason;
  if (!openOutput(options.outputPath, outputFile, reason)) {
    reportError("cannot write %s: %s", options.outputPath.c_str(), reason.c_str());
    effectRelease(fx);
    return renderFailed;
  }
  SndFilePtr output(sf_open_fd(outputFile.fd, SFM_WRITE, &outputInfo, SF_FALSE));
  if (!output) {
    reportError("cannot write %s: %s", options.outputPath.c_str(), sf_strerror(nullptr));
    discardOutput(outputFile);
    effectRelease(fx);
    return renderFailed;
  }

  ProgressBar bar;
  bar.enabled = lengthKnown && isatty(STDERR_FILENO);
  const Rendered rendered = renderBlocks(fx, options, input.get(), inputInfo, output.get(), bar);
  bool failed = rendered.failed;
  if (!failed && sf_error(input.get()) != SF_ERR_NO_ERROR) {
    reportError("cannot read %s: %s", options.inputPath.c_str(), sf_strerror(input.get()));
    failed = true;
  }
  const std::string outputError = sf_strerror(output.get());
  const bool closeFailed = sf_close(output.release()) != 0;
  if (!failed && closeFailed) {
    reportError("cannot write %s: %s", options.outputPath.c_str(), outputError.c_str());
    failed = true;
  }
  effectRelease(fx);
  if (!failed && !finishOutput(outputFile, reason)) {
    reportError("cannot write %s: %s", options.outputPath.c_str(), reason.c_str());
    failed = true;
  }
  if (failed) {
    discardOutput(outputFile);
    return renderFailed;
  }

  printf("Wrote %s: %lld frames of %d channel%s at %d Hz.\n", options.outputPath.c_str(),
         rendered.frames, channels, channels == 1 ? "" : "s", inputInfo.samplerate);
  std::fflush(stdout);
  if (plotting && !finishPicture(fx, options, timeline, rendered, inputInfo, bar))
    return renderFailed;
  return renderOk;
}
