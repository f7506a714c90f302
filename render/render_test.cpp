#include "render.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "callback.h"
#include "effect.h"
#include "pitch.h"
#include "plot.h"
#include "testsupport.h"
#include "vowel.h"

namespace {

struct Sound {
  std::vector<float> samples;  // interleaved
  SF_INFO info{};
};

void writeSound(const std::string& path, const std::vector<float>& samples, int channels, int rate,
                int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
  sf_close(file);
}

Sound readSound(const std::string& path) {
  Sound sound;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &sound.info);
  if (!file) return sound;
  sound.samples.resize(static_cast<std::size_t>(sound.info.frames * sound.info.channels));
  sf_readf_float(file, sound.samples.data(), sound.info.frames);
  sf_close(file);
  return sound;
}

std::vector<float> noise(long long frames, int channels, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> level(-0.9f, 0.9f);
  std::vector<float> samples(static_cast<std::size_t>(frames * channels));
  for (float& s : samples) s = level(random);
  return samples;
}

std::vector<float> tone(double hz, double seconds, int rate) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * rate));
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * hz * double(i) / rate));
  return samples;
}

// What the live program plays for `input`: the effect set up as the driver
// sets it up and every buffer handed to the stream callback.
std::vector<float> playLive(const std::vector<float>& input, int channels, int rate, int frames,
                            const std::string& melody, int loop, StereoMode mode,
                            SpliceMode splice) {
  EffectState fx;
  fx.numChannels = channels;
  fx.projectedFramesPerBuffer = frames;
  const EffectSettings settings{
      .loop = loop, .stereoMode = mode, .spliceMode = splice, .sampleRate = rate};
  std::vector<float> output;
  if (liveEffectInit(fx, settings, melody.c_str(), channels, frames)) return output;
  const std::size_t block = static_cast<std::size_t>(channels) * frames;
  std::vector<float> in(block), out(block);
  for (std::size_t at = 0; at < input.size(); at += block) {
    const std::size_t n = std::min(block, input.size() - at);
    std::fill(in.begin(), in.end(), 0.0f);
    std::copy(input.begin() + at, input.begin() + at + n, in.begin());
    streamCallback(in.data(), out.data(), static_cast<unsigned long>(frames), nullptr, 0, &fx);
    output.insert(output.end(), out.begin(), out.begin() + n);
  }
  effectRelease(fx);
  return output;
}

struct LiveCase {
  int channels;
  int rate;
  int frames;
  StereoMode stereo;
  int loop;
  int subtype;  // of the input file
  long long inputFrames;
  SpliceMode splice = spliceBlock;
};

class RenderMatchesLive : public ::testing::TestWithParam<LiveCase> {};

TEST_P(RenderMatchesLive, OutputAndMessagesAreThoseOfTheLiveCallback) {
  const LiveCase c = GetParam();
  TempDir dir;
  const std::string inputPath = dir.file("in.wav"), outputPath = dir.file("out.wav");
  // Short notes, a repeat and frequencies both sides of the base, so many
  // note changes and both kinds of jump fall inside a few buffers; then a
  // long low note, so that a looping melody drifts to the far end of the
  // history.
  const std::string melodyPath =
      dir.write("melody.txt", "440 3 660 2 330 7 440 -2 4 880 1 220 5 523.25 300 220\n");
  writeSound(inputPath, noise(c.inputFrames, c.channels, 7), c.channels, c.rate,
             SF_FORMAT_WAV | c.subtype);

  RenderOptions options;
  options.framesPerBuffer = c.frames;
  options.loop = c.loop;
  options.stereoMode = c.stereo;
  options.spliceMode = c.splice;
  options.inputPath = inputPath;
  options.melodyPath = melodyPath;
  options.outputPath = outputPath;
  startCapture();
  const int status = runRender(options);
  const std::string printed = endCapture();
  ASSERT_EQ(status, renderOk) << printed;

  const Sound input = readSound(inputPath);
  startCapture();
  const std::vector<float> live =
      playLive(input.samples, c.channels, c.rate, c.frames, melodyPath, c.loop, c.stereo, c.splice);
  const std::string livePrinted = endCapture();
  ASSERT_FALSE(live.empty()) << livePrinted;

  const Sound rendered = readSound(outputPath);
  EXPECT_EQ(rendered.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(rendered.info.samplerate, c.rate);
  EXPECT_EQ(rendered.info.channels, c.channels);
  EXPECT_EQ(rendered.info.frames, c.inputFrames);
  ASSERT_EQ(rendered.samples.size(), live.size());
  EXPECT_EQ(std::memcmp(rendered.samples.data(), live.data(), live.size() * sizeof(float)), 0);
  // Guards against a vacuous match, and shows the effect changed the sound.
  EXPECT_NE(std::count(live.begin(), live.end(), 0.0f), static_cast<long>(live.size()));
  EXPECT_NE(rendered.samples, input.samples);

  // The effect's own lines, exactly as live, then the summary.
  EXPECT_EQ(printed.substr(0, livePrinted.size()), livePrinted);
  EXPECT_EQ(printed.substr(livePrinted.size()).rfind("Wrote ", 0), 0u) << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RenderMatchesLive,
    ::testing::Values(
        // Two delay reports (1000 buffers apart) and a last buffer of 13 frames.
        LiveCase{2, 44100, 64, stereoNone, 1, SF_FORMAT_FLOAT, 1001 * 64 + 13},
        LiveCase{1, 22050, 512, stereoLeftToBoth, 0, SF_FORMAT_PCM_16, 20 * 512 + 1},
        LiveCase{2, 11025, 100, stereoLeftToBoth, 0, SF_FORMAT_PCM_24, 300 * 100 - 1},
        LiveCase{3, 44100, 256, stereoRightToBoth, 1, SF_FORMAT_FLOAT, 90 * 256},
        LiveCase{4, 44100, 33, stereoNone, 1, SF_FORMAT_FLOAT, 400 * 33 + 32},
        // Rates off the tick table, both ends of the range among them.
        LiveCase{2, 48000, 128, stereoNone, 1, SF_FORMAT_PCM_24, 300 * 128 + 5, spliceMatched},
        LiveCase{1, 48000, 512, stereoNone, 0, SF_FORMAT_FLOAT, 40 * 512},
        LiveCase{2, 96000, 256, stereoLeftToBoth, 1, SF_FORMAT_FLOAT, 200 * 256 + 1},
        LiveCase{1, 8000, 64, stereoNone, 1, SF_FORMAT_PCM_16, 100 * 64, spliceMatched},
        LiveCase{1, 192000, 1024, stereoNone, 1, SF_FORMAT_FLOAT, 60 * 1024 + 7, spliceMatched}),
    [](const ::testing::TestParamInfo<LiveCase>& info) {
      const LiveCase& c = info.param;
      return std::to_string(c.channels) + "ch_" + std::to_string(c.rate) + "Hz_" +
             std::to_string(c.frames) + "frames_stereo" + std::to_string(c.stereo) +
             (c.loop ? "_loop" : "") + (c.splice == spliceMatched ? "_matched" : "");
    });

TEST(MelodyTimeline, FollowsTheNotesTheProcessorPlays) {
  TempDir dir;
  // Note 4 lasts 2.5 ticks, which playback rounds up; notes 1-2 play 3 times.
  const std::string melody = dir.write("melody.txt", "100 7 100 13 150 -3 5 50 2.5 200\n");
  const int frames = 64;
  for (int rate : {44100, 11025, 48000, 88200}) {
    for (int loop : {0, 1}) {
      SCOPED_TRACE("rate " + std::to_string(rate) + " loop " + std::to_string(loop));
      EffectState fx;
      startCapture();
      const int failed =
          liveEffectInit(fx, {.loop = loop, .sampleRate = rate}, melody.c_str(), 1, frames);
      endCapture();
      ASSERT_EQ(failed, 0);
      const int blocks = 120;
      const std::vector<TargetSpan> spans =
          melodyTimeline(fx, static_cast<long long>(blocks + 1) * frames, rate);
      ASSERT_FALSE(spans.empty());

      if (rate == 44100) {
        // First note: a 45-frame tick, then six of 44; the second starts with
        // 44 (7 is no multiple of 10), and its tenth tick later is 45 long.
        EXPECT_DOUBLE_EQ(spans[0].end, 309.0 / rate);
        EXPECT_DOUBLE_EQ(spans[1].end, (309.0 + 44 + 12 * 44 + 1) / rate);
      }
      if (rate % 1000 == 0 || rate == 88200) {
        // Off the table every note ends where its last tick's exact time
        // does, rounded down to a frame: 7 and then 20 ticks.
        EXPECT_DOUBLE_EQ(spans[0].end, static_cast<double>(7LL * rate / 1000) / rate);
        EXPECT_DOUBLE_EQ(spans[1].end, static_cast<double>(20LL * rate / 1000) / rate);
      }
      if (!loop) {
        std::vector<double> ratios;
        for (const TargetSpan& s : spans) ratios.push_back(s.ratio);
        EXPECT_EQ(ratios, (std::vector<double>{1, 1.5, 1, 1.5, 1, 1.5, 0.5, 2, 1}));
        EXPECT_TRUE(spans.back().passThrough);
      }

      // After each block the channel's note is the one for the next frame.
      std::vector<float> in(frames, 0.25f), out(frames);
      startCapture();
      for (int b = 0; b < blocks; ++b) {
        effectProcess(fx, in.data(), out.data());
        const double t = static_cast<double>((b + 1) * frames) / rate;
        auto span = std::find_if(spans.begin(), spans.end(),
                                 [t](const TargetSpan& s) { return s.start <= t && t < s.end; });
        ASSERT_NE(span, spans.end()) << "block " << b;
        const Note* note = fx.channels[0]->note;
        if (note) {
          EXPECT_FALSE(span->passThrough) << "block " << b;
          EXPECT_EQ(span->ratio, note->frequency / fx.baseFrequency) << "block " << b;
        } else {
          EXPECT_TRUE(span->passThrough) << "block " << b;
        }
      }
      endCapture();
      effectRelease(fx);
    }
  }
}

double medianBetween(const std::vector<PitchFrame>& track, double from, double to) {
  std::vector<PitchFrame> inside;
  for (const PitchFrame& f : track)
    if (f.time >= from && f.time <= to) inside.push_back(f);
  return medianPitch(inside);
}

TEST(RenderPitch, ATwoNoteMelodyBendsAToneToItsNotesAndThePictureShowsThem) {
  const std::pair<int, SpliceMode> runs[] = {{44100, spliceBlock},   {22050, spliceBlock},
                                             {48000, spliceBlock},   {96000, spliceBlock},
                                             {48000, spliceMatched}, {192000, spliceMatched}};
  for (const auto& [rate, splice] : runs) {
    SCOPED_TRACE("rate " + std::to_string(rate) + (splice == spliceMatched ? " matched" : ""));
    TempDir dir;
    RenderOptions options;
    options.spliceMode = splice;
    // Block jumps bend a note cleanly only from some 10 ms of buffer up.
    if (splice == spliceBlock && rate > 48000) options.framesPerBuffer = 1024;
    options.inputPath = dir.file("tone.wav");
    options.melodyPath = dir.write("melody.txt", "440 600 440 600 660\n");
    options.outputPath = dir.file("bent & out.wav");
    options.plotPath = dir.file("pitch.svg");
    writeSound(options.inputPath, tone(220, 1.6, rate), 1, rate);
    startCapture();
    const int status = runRender(options);
    const std::string printed = endCapture();
    ASSERT_EQ(status, renderOk) << printed;

    const Sound out = readSound(options.outputPath);
    PitchOptions pitch;
    pitch.sampleRate = rate;
    pitch.hop = static_cast<std::size_t>(rate / 100);
    pitch.threshold = 0.3;  // the bent note's block-length jumps blur its period
    const std::vector<PitchFrame> track =
        trackPitch(out.samples.data(), out.samples.size(), 1, pitch);
    // 600 ticks are 0.6 s; after the second note the input passes through.
    // The jumps pull the bent note's measured pitch by up to about 2%, so it
    // is held to a quarter tone; the next semitone is twice as far.
    EXPECT_NEAR(medianBetween(track, 0.1, 0.5), 220, 220 * 0.005);
    EXPECT_NEAR(medianBetween(track, 0.7, 1.1), 330, 330 * 0.029);
    EXPECT_NEAR(medianBetween(track, 1.3, 1.5), 220, 220 * 0.005);

    const std::string svg = readFile(options.plotPath);
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    EXPECT_NE(svg.find(">time (s)<"), std::string::npos);
    EXPECT_NE(svg.find(">pitch (Hz, log scale)<"), std::string::npos);
    EXPECT_NE(svg.find("input pitch (22"), std::string::npos) << "input's pitch in the legend";
    EXPECT_NE(svg.find("bent &amp; out.wav"), std::string::npos) << "names escaped";
    EXPECT_GT(std::count(svg.begin(), svg.end(), '\n'), 100) << "a dot per voiced window";
  }
}

// The real program, run with `args`.
ToolRun runTool(const TempDir& dir, const std::vector<std::string>& args) {
  return runProgram(RENDER_TOOL, dir, args);
}

TEST(RenderCommandLine, BadArgumentsAndFilesGetOneClearLineAndAFailingStatus) {
  TempDir dir;
  const std::string input = dir.file("in.wav"), output = dir.file("out.wav");
  writeSound(input, tone(440, 0.1, 44100), 1, 44100);
  const std::string melody = dir.write("melody.txt", "440 50 660\n");
  const std::string sixChannels = dir.file("six.wav"), at4k = dir.file("4k.wav");
  writeSound(sixChannels, noise(100, 6, 1), 6, 44100);
  writeSound(at4k, noise(100, 1, 1), 1, 4000);
  const std::string text = dir.write("notes.txt", "not a sound\n");
  const std::string badMelody = dir.write("bad.txt", "440 50 abc\n");
  std::filesystem::create_directory(dir.file("folder"));

  struct Case {
    std::vector<std::string> args;
    std::string error;  // expected on standard error, one line
  };
  const std::vector<Case> usage = {
      {{}, "expected INPUT MELODY OUTPUT, got 0 arguments"},
      {{input, melody}, "expected INPUT MELODY OUTPUT, got 2 arguments"},
      {{"--frames", "0", input, melody, output}, "--frames needs a whole number from 1 to 65536"},
      {{"--frames=12x", input, melody, output}, "not '12x'"},
      {{"--stereo", "middle", input, melody, output}, "--stereo takes none, left-to-both"},
      {{"--splice", "smooth", input, melody, output}, "--splice takes block or matched"},
      {{"--read", "smooth", input, melody, output}, "--read takes verbatim or interpolated"},
      {{"--read", "interpolated", input, melody, output},
       "--read interpolated needs --splice matched"},
      {{"--read=interpolated", "--splice=block", input, melody, output},
       "--read interpolated needs --splice matched"},
      {{"--max-delay", "-5", input, melody, output}, "--max-delay needs a whole number"},
      {{"--max-delay=10ms", input, melody, output}, "not '10ms'"},
      {{"--pitch", "perfect", input, melody, output}, "--pitch takes relative or absolute"},
      {{"--pitch=Absolute", input, melody, output}, "not 'Absolute'"},
      {{"--retune", "-1", input, melody, output}, "--retune needs a whole number"},
      {{"--retune=0.5", input, melody, output}, "not '0.5'"},
      {{"--bogus", input, melody, output}, "unknown option '--bogus'"},
      {{input, melody, output, "--plot"}, "option --plot needs a value"},
  };
  for (const Case& c : usage) {
    const ToolRun run = runTool(dir, c.args);
    EXPECT_EQ(run.status, renderBadUsage) << c.error;
    EXPECT_EQ(run.err.rfind("glidewarp-render: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }

  const std::vector<Case> files = {
      {{dir.file("missing.wav"), melody, output}, "cannot read " + dir.file("missing.wav") + ": "},
      {{text, melody, output}, "cannot read " + text + ": "},
      {{sixChannels, melody, output}, "has 6 channels; 1 to 4 are supported"},
      {{input, dir.file("missing.txt"), output}, "No such file or directory"},
      {{input, dir.file("folder"), output}, "Is a directory"},
      {{input, melody, dir.file("nowhere/out.wav")}, "cannot write " + dir.file("nowhere/out.wav")},
      {{input, melody, input}, "OUTPUT " + input + " is the same file as " + input},
      {{input, melody, dir.file("folder")},
       "cannot write " + dir.file("folder") + ": Is a directory"},
      {{"--plot", input, input, melody, output},
       "--plot " + input + " is the same file as " + input},
      {{"--plot", dir.file("folder/../melody.txt"), input, melody, output},
       "--plot " + dir.file("folder/../melody.txt") + " is the same file as " + melody},
      {{"--plot", dir.file("./out.wav"), input, melody, output},
       "--plot " + dir.file("./out.wav") + " is the same file as " + output},
      {{"--plot", dir.file("to-input"), input, melody, output},
       "--plot " + dir.file("to-input") + " is the same file as " + input},
  };
  ASSERT_EQ(symlink("in.wav", dir.file("to-input").c_str()), 0);
  for (const Case& c : files) {
    const ToolRun run = runTool(dir, c.args);
    EXPECT_EQ(run.status, renderFailed) << c.error;
    EXPECT_EQ(run.err.rfind("glidewarp-render: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(output));

  // Set-up failures speak in the effect's own words, as live.
  ToolRun run = runTool(dir, {at4k, melody, output});
  EXPECT_EQ(run.status, renderFailed);
  EXPECT_EQ(run.out,
            "Supported rates: 8000 to 192000. You supplied 4000\n"
            "GlideWarp initialization failed\n");
  run = runTool(dir, {input, badMelody, output});
  EXPECT_EQ(run.status, renderFailed);
  EXPECT_NE(run.out.find("Invalid input string abc\nGlideWarp initialization failed\n"),
            std::string::npos)
      << run.out;
  EXPECT_FALSE(std::filesystem::exists(output));

  run = runTool(dir, {"--help"});
  EXPECT_EQ(run.status, renderOk);
  for (const char* word : {"Usage: glidewarp-render", "--frames N", "--loop", "--stereo MODE",
                           "--splice MODE", "--max-delay MS", "--read MODE", "--pitch MODE",
                           "--retune MS", "--plot FILE.svg", "median"})
    EXPECT_NE(run.out.find(word), std::string::npos) << word;

  // The sound is written before the picture, which can still fail.
  run = runTool(dir, {"--plot", dir.file("nowhere/pitch.svg"), input, melody, output});
  EXPECT_EQ(run.status, renderFailed);
  EXPECT_NE(run.err.find("cannot write picture " + dir.file("nowhere/pitch.svg")),
            std::string::npos)
      << run.err;

  // Options may follow the files.
  run = runTool(dir, {input, melody, output, "--frames=64", "--loop", "--stereo=none"});
  EXPECT_EQ(run.status, renderOk) << run.err;
  EXPECT_NE(run.out.find("Initialized, baby.\n"), std::string::npos) << run.out;
  EXPECT_EQ(readSound(output).info.frames, 4410);
}

// OUTPUT and the picture are written as the configuration is: a plain file
// replaced whole with its mode, a link written through, a pipe or standard
// output written to as they are.
TEST(RenderCommandLine, OutputsKeepWhatTheyAre) {
  TempDir dir;
  const std::string input = dir.file("in.wav");
  writeSound(input, tone(440, 0.1, 44100), 1, 44100);
  const std::string melody = dir.write("melody.txt", "440 50 660\n");
  std::filesystem::create_directory(dir.file("takes"));
  const std::string take = dir.write("takes/take1.wav", "old");
  ASSERT_EQ(chmod(take.c_str(), 0640), 0);
  ASSERT_EQ(symlink("takes/take1.wav", dir.file("latest.wav").c_str()), 0);
  const std::string picture = dir.write("pitch.svg", "old");
  ASSERT_EQ(chmod(picture.c_str(), 0600), 0);
  ToolRun run = runTool(dir, {"--plot", picture, input, melody, dir.file("latest.wav")});
  ASSERT_EQ(run.status, renderOk) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("latest.wav")));
  EXPECT_EQ(readSound(take).info.frames, 4410);
  EXPECT_EQ(std::filesystem::status(take).permissions(), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write |
                                                             std::filesystem::perms::group_read);
  EXPECT_NE(readFile(picture).find("<svg "), std::string::npos);
  EXPECT_EQ(std::filesystem::status(picture).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  // Through a pipe, as a player reading it would get it.
  const std::string pipe = dir.file("pipe.wav");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = readFile(pipe); });
  run = runTool(dir, {input, melody, pipe});
  reader.join();
  EXPECT_EQ(run.status, renderOk) << run.err;
  EXPECT_EQ(readSound(dir.write("received.wav", received)).info.frames, 4410);
  EXPECT_TRUE(std::filesystem::is_fifo(pipe));

  // Standard output by name: what the caller sent it to, appended to here.
  const std::string log = dir.write("log.bin", "head");
  const std::string command = std::string(RENDER_TOOL) + " " + input + " " + melody +
                              " /dev/stdout >> " + log + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string appended = readFile(log);
  EXPECT_EQ(appended.rfind("head", 0), 0u);
  EXPECT_NE(appended.find("RIFF"), std::string::npos);
}

// A render with matched splices, traced through an index channel: every
// output frame is a verbatim input frame (both samples), none from ahead of
// the newest buffer, and none lags by more than one buffer plus MaxDelay.
TEST(RenderCommandLine, MatchedSplicesKeepEveryFrameVerbatimWithinTheLag) {
  TempDir dir;
  const int rate = 44100, frames = 128, maxDelayMs = 40;
  const long long length = 3 * rate;
  std::vector<float> samples(static_cast<std::size_t>(2 * length));
  for (long long i = 0; i < length; ++i) {
    const double t = static_cast<double>(i) / rate;
    samples[static_cast<std::size_t>(2 * i)] =
        static_cast<float>(0.4 * std::sin(2 * M_PI * 180 * t) + 0.2 * std::sin(2 * M_PI * 540 * t));
    samples[static_cast<std::size_t>(2 * i + 1)] = static_cast<float>(i + 1);
  }
  const std::string input = dir.file("in.wav"), output = dir.file("out.wav");
  writeSound(input, samples, 2, rate);
  const std::string melody =
      dir.write("melody.txt", "440 300 660 300 330 200 880 300 220 400 587.33 300 415.3\n");

  ToolRun run = runTool(dir, {"--splice", "matched", "--max-delay", std::to_string(maxDelayMs),
                              "--frames", std::to_string(frames), input, melody, output});
  ASSERT_EQ(run.status, renderOk) << run.err;
  EXPECT_EQ(run.out.find("MaxDelay"), std::string::npos) << "40 ms fits: " << run.out;
  const Sound rendered = readSound(output);
  ASSERT_EQ(rendered.info.frames, length);
  const long long lagLimit = frames + maxDelayMs * rate / 1000;
  long long jumps = 0, worst = 0;
  for (long long n = 0; n < length; ++n) {
    const float* frame = rendered.samples.data() + 2 * n;
    const long long index = static_cast<long long>(frame[1]);
    ASSERT_EQ(static_cast<float>(index), frame[1]) << "output frame " << n;
    if (index == 0) {
      ASSERT_EQ(frame[0], 0.0f);  // the silence before any input
      continue;
    }
    ASSERT_LE(index, length);
    ASSERT_EQ(frame[0], samples[static_cast<std::size_t>(2 * (index - 1))]) << "output frame " << n;
    ASSERT_LE(index - 1, (n / frames + 1) * frames - 1) << "ahead of the newest, frame " << n;
    worst = std::max(worst, n - (index - 1));
    ASSERT_LE(n - (index - 1), lagLimit) << "output frame " << n;
    if (n > 0) {
      const long long previous = static_cast<long long>(rendered.samples[2 * (n - 1) + 1]);
      jumps += index < previous || index - previous > 2;
    }
  }
  EXPECT_GT(jumps, 50);  // the notes did bend, and splice
  EXPECT_GT(worst, 0);

  // The same melody with block jumps plays other frames; MaxDelay is
  // clamped, with a line, only where the matched mode uses it.
  run = runTool(dir, {"--splice=block", "--max-delay=100000", input, melody, output});
  ASSERT_EQ(run.status, renderOk) << run.err;
  EXPECT_EQ(run.out.find("MaxDelay"), std::string::npos) << run.out;
  EXPECT_NE(readSound(output).samples, rendered.samples);
  run = runTool(dir, {"--splice=matched", "--max-delay=100000", input, melody, output});
  ASSERT_EQ(run.status, renderOk) << run.err;
  EXPECT_NE(run.out.find("MaxDelay 100000 ms does not fit: using "), std::string::npos) << run.out;
}

// How much of `x` (from `start`, `length` frames) a sine of `hz` holds,
// against the rest, in dB: the sine fitted by least squares, with a constant.
double sinePurity(const std::vector<float>& x, std::size_t stride, std::size_t start,
                  std::size_t length, double hz, int rate) {
  double m[3][3] = {}, v[3] = {};
  for (std::size_t t = start; t < start + length; ++t) {
    const double w = 2 * M_PI * hz * static_cast<double>(t) / rate;
    const double basis[3] = {std::sin(w), std::cos(w), 1};
    for (int i = 0; i < 3; ++i) {
      v[i] += basis[i] * x[t * stride];
      for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
    }
  }
  // Gaussian elimination of the 3 by 3 normal equations.
  for (int i = 0; i < 3; ++i)
    for (int k = i + 1; k < 3; ++k) {
      const double f = m[k][i] / m[i][i];
      for (int j = i; j < 3; ++j) m[k][j] -= f * m[i][j];
      v[k] -= f * v[i];
    }
  double c[3];
  for (int i = 2; i >= 0; --i) {
    c[i] = v[i];
    for (int j = i + 1; j < 3; ++j) c[i] -= m[i][j] * c[j];
    c[i] /= m[i][i];
  }
  double sine = 0, rest = 0;
  for (std::size_t t = start; t < start + length; ++t) {
    const double w = 2 * M_PI * hz * static_cast<double>(t) / rate;
    const double fit = c[0] * std::sin(w) + c[1] * std::cos(w);
    sine += fit * fit;
    rest += (x[t * stride] - fit - c[2]) * (x[t * stride] - fit - c[2]);
  }
  return 10 * std::log10(sine / std::max(rest, 1e-30));
}

// The interpolated read through the real program at a few buffer lengths:
// every note of a bent sine is pure far beyond what whole frames allow, both
// stereo channels alike, and the read position, traced through a third
// channel, stays half a kernel to one buffer plus MaxDelay behind the input.
TEST(RenderCommandLine, InterpolatedReadIsPureAtEveryBufferLength) {
  TempDir dir;
  const int rate = 44100, maxDelayMs = 25;
  const long long length = 3 * rate;
  std::vector<float> samples(static_cast<std::size_t>(3 * length));
  for (long long i = 0; i < length; ++i) {
    const float sine = static_cast<float>(0.4 * std::sin(2 * M_PI * 220 * i / rate));
    samples[static_cast<std::size_t>(3 * i)] = samples[static_cast<std::size_t>(3 * i + 1)] = sine;
    samples[static_cast<std::size_t>(3 * i + 2)] = static_cast<float>(i + 1);
  }
  const std::string input = dir.file("in.wav"), output = dir.file("out.wav");
  writeSound(input, samples, 3, rate);
  struct Note {
    double ratio;
    std::size_t start, end;  // output frames
  };
  const std::vector<Note> notes = {{1.5, 0, 30870}, {0.75, 30870, 61740}, {2, 61740, 92610}};
  const std::string melody = dir.write("melody.txt", "440 700 660 700 330 700 880\n");
  for (int frames : {64, 256, 1024}) {
    SCOPED_TRACE(std::to_string(frames) + " frames");
    const ToolRun run = runTool(dir, {"--splice=matched", "--read=interpolated", "--frames",
                                      std::to_string(frames), input, melody, output});
    ASSERT_EQ(run.status, renderOk) << run.err;
    const Sound rendered = readSound(output);
    ASSERT_EQ(rendered.info.frames, length);
    for (const Note& note : notes) {
      // From 150 ms into the note: the change of note is a splice of its own.
      double worst = 1e9;
      for (std::size_t at = note.start + 6615; at + 4096 <= note.end; at += 2048)
        worst = std::min(worst, sinePurity(rendered.samples, 3, at, 4096, 220 * note.ratio, rate));
      EXPECT_GT(worst, 60) << "ratio " << note.ratio;
    }
    const double lagLimit = frames + maxDelayMs * rate / 1000;
    for (std::size_t t = 1000; t < notes.back().end; ++t) {
      const float* frame = rendered.samples.data() + 3 * t;
      ASSERT_EQ(frame[0], frame[1]) << t;
      const double lag = static_cast<double>(t) - (frame[2] - 1);
      ASSERT_GE(lag, 16 - 0.5) << t;
      ASSERT_LE(lag, lagLimit + 0.5) << t;
    }
  }
}

// Absolute pitch through the real tool: a sung vowel whose pitch drifts
// +-300 cents (0.2 Hz) with +-40 cents of vibrato (5.5 Hz) on top, through
// eight notes written in Hz. Each note comes out at its pitch, the vibrato
// goes with Retune 0 and stays with Retune 500, and no frame lags by more
// than one buffer plus MaxDelay; relative pitch, for contrast, keeps the
// drift. (bench/absolute holds the same figures to tighter goals.)
TEST(RenderPitch, AbsolutePitchPutsADriftingVowelOnItsNotes) {
  TempDir dir;
  const int rate = 44100, noteFrames = rate / 2;
  const double notes[] = {130.81, 392.00, 164.81, 261.63, 220.00, 293.66, 196.00, 329.63};
  const int noteCount = static_cast<int>(std::size(notes));
  VowelPitch sung;
  sung.hz = 150;
  sung.vibratoCents = 40;
  sung.vibratoHz = 5.5;
  sung.driftCents = 300;
  sung.driftHz = 0.2;
  const std::size_t length = static_cast<std::size_t>(noteCount) * noteFrames;
  const std::vector<float> vowel = sungVowel(length, rate, sung);
  // The vowel on both channels (matched splices compare their sum), each
  // frame's index on a third.
  std::vector<float> samples(3 * length);
  for (std::size_t i = 0; i < length; ++i) {
    samples[3 * i] = samples[3 * i + 1] = vowel[i];
    samples[3 * i + 2] = static_cast<float>(i + 1);
  }
  const std::string input = dir.file("sung.wav"), output = dir.file("out.wav");
  writeSound(input, samples, 3, rate);
  std::string text = "150\n";
  for (double hz : notes) text += "500 " + std::to_string(hz) + "\n";
  const std::string melody = dir.write("melody.txt", text);

  struct Figures {
    double within = 0;   // share of voiced 20 ms windows within 10 cents of their note
    double vibrato = 0;  // the 5.5 Hz vibrato left, cents, the worst note
    long long lag = 0;   // frames
  };
  auto render = [&](const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {input, melody, output});
    const ToolRun run = runTool(dir, args);
    EXPECT_EQ(run.status, renderOk) << run.err;
    const Sound out = readSound(output);
    Figures f;
    EXPECT_EQ(out.samples.size(), samples.size());
    if (out.samples.size() != samples.size()) return f;
    std::vector<float> left(length);
    for (std::size_t i = 0; i < length; ++i) {
      left[i] = out.samples[3 * i];
      const long long copied = static_cast<long long>(out.samples[3 * i + 2]) - 1;
      if (copied >= 0) f.lag = std::max(f.lag, static_cast<long long>(i) - copied);
    }
    const std::size_t span = rate / 50;
    auto pitchAt = [&](std::size_t at, double target) {
      PitchOptions o;
      o.sampleRate = rate;
      o.minHz = target / 1.5;
      o.maxHz = target * 1.5;
      o.window = span - static_cast<std::size_t>(std::ceil(rate / o.minHz)) - 2;
      return estimatePitch(left.data() + at, span, o);
    };
    int voiced = 0, within = 0;
    for (int n = 0; n < noteCount; ++n) {
      const std::size_t start = static_cast<std::size_t>(n) * noteFrames, end = start + noteFrames;
      std::vector<double> seconds, cents;
      int k = 0;
      for (std::size_t at = start + rate / 20; at + span <= end; at += rate / 200, ++k) {
        const double hz = pitchAt(at, notes[n]);
        if (hz <= 0) continue;
        const double off = 1200 * std::log2(hz / notes[n]);
        seconds.push_back(static_cast<double>(at - start) / rate);
        cents.push_back(off);
        // Every fourth is a window of its own, 20 ms after the one before.
        if (k % 4 == 0) {
          ++voiced;
          within += std::fabs(off) <= 10;
        }
      }
      f.vibrato = std::max(f.vibrato, vibratoAmplitude(seconds, cents, 5.5));
    }
    f.within = voiced ? 100.0 * within / voiced : 0;
    return f;
  };

  for (int frames : {128, 2048}) {
    SCOPED_TRACE(std::to_string(frames) + " frames");
    const long long lagLimit = frames + defaultMaxDelayMs * rate / 1000;
    const Figures corrected = render({"--pitch", "absolute", "--frames", std::to_string(frames)});
    EXPECT_GE(corrected.within, 90);
    EXPECT_LE(corrected.vibrato, 8);
    EXPECT_LE(corrected.lag, lagLimit);
    EXPECT_GT(corrected.lag, 0);
    const Figures retuned =
        render({"--pitch=absolute", "--retune=500", "--frames=" + std::to_string(frames)});
    EXPECT_GE(retuned.vibrato, 25);
    EXPECT_LE(retuned.lag, lagLimit);
  }
  const Figures relative =
      render({"--pitch", "relative", "--splice", "matched", "--frames", "128"});
  EXPECT_LT(relative.within, 50) << "relative pitch follows the drift";
  EXPECT_GE(relative.vibrato, 30);

  const ToolRun run = runTool(dir, {"--pitch", "absolute", input, melody, output});
  EXPECT_NE(
      run.out.find("Absolute pitch: matched splices, at most one buffer plus 25 ms of delay.\n"),
      std::string::npos)
      << run.out;
}

}  // namespace
