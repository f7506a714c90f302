// runProgram against the fake PortAudio: every way the run can fail, with
// the report it prints, its exit status and what it leaves open; and the
// stream it asks for, under ALSA and under JACK.
#include "driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "callback.h"
#include "config.h"
#include "console.h"
#include "effect.h"
#include "fake_portaudio.h"
#include "testsupport.h"

namespace {

// Keys typed from a string; input ends after the last.
struct TypedKeys {
  std::string keys;
  std::size_t next = 0;
};

int readTyped(void* context) {
  auto* typed = static_cast<TypedKeys*>(context);
  if (typed->next >= typed->keys.size()) return -1;
  return static_cast<unsigned char>(typed->keys[typed->next++]);
}

bool typedEnded(void* context) {
  auto* typed = static_cast<TypedKeys*>(context);
  return typed->next >= typed->keys.size();
}

struct Outcome {
  int status = 0;
  std::string output;
};

class Driver : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedChdir inDir{dir.path};
  TypedKeys typed;
  KeySource previousKeys{};

  void SetUp() override {
    fakeAudioReset();
    configReset();
    previousKeys = setKeySource({readTyped, typedEnded, &typed});
    dir.write("first.txt", "440\n200 660\n");
  }

  void TearDown() override {
    setKeySource(previousKeys);
    configReset();
  }

  // A line input and a speaker pair under ALSA: one input to choose from,
  // so the defaults are taken without a prompt.
  void alsaDevices() {
    fakeAudio.devices = {
        {"Line In", paALSA, 2, 2, 0.0116, 0.0232, 0.0058, 0.0464},
        {"Speakers", paALSA, 0, 8, 0, 0, 0.009, 0.018},
    };
    fakeAudio.defaultInput = 0;
    fakeAudio.defaultOutput = 1;
  }

  // The server's own ports, and a tone generator that, like any other
  // program's ports, reports no latency at all.
  void jackDevices() {
    fakeAudio.devices = {
        {"system", paJACK, 2, 2, 0.0116, 0.0116, 0.0116, 0.0116},
        {"gwtone", paJACK, 1, 0, 0, 0, 0, 0},
    };
  }

  Outcome run(const std::vector<std::string>& files, const std::string& keys,
              const std::string& devicesConfig = "DefaultInput: 0\nDefaultOutput: 1\n") {
    std::string config = "DefaultKeyCode: 32\nDefaultKeyName: space\n" + devicesConfig;
    for (const std::string& f : files) config += "File: " + f + "\n";
    dir.write("glidewarperconfig.txt", config);
    typed = {keys, 0};
    startCapture();
    Outcome r;
    r.status = runProgram();
    r.output = endCapture();
    return r;
  }

  int callCount(const std::string& name) const {
    int count = 0;
    for (const std::string& c : fakeAudio.calls) count += c == name;
    return count;
  }

  // The calls that tear the stream and PortAudio down, in order.
  static std::vector<std::string> teardown() {
    std::vector<std::string> result;
    for (const std::string& c : fakeAudio.calls)
      if (c == "Pa_AbortStream" || c == "Pa_CloseStream" || c == "Pa_Terminate")
        result.push_back(c);
    return result;
  }
};

std::string report(PaError err) {
  return "An error occured while using the portaudio stream\nError number: " + std::to_string(err) +
         "\nError message: " + fakeErrorText(err) + "\nPress any key to proceed\n";
}

struct FailureCase {
  const char* what;
  const char* failing;  // the fake's call that fails
  PaError failure;
  std::string keys;
  std::vector<std::string> files;
  std::string lastLines;  // how the output ends
  std::vector<std::string> teardown;
  bool leftOpen;  // stream and PortAudio left to the process's end
};

const std::vector<std::string> closeAll = {"Pa_AbortStream", "Pa_CloseStream", "Pa_Terminate"};

TEST_F(Driver, EveryFailureEndsWithTheReportAndStatusMinusOneAndClosesWhatIsOpen) {
  const std::vector<FailureCase> cases = {
      {"initialize",
       "Pa_Initialize",
       paInternalError,
       "q",
       {"first.txt"},
       "sizeof(long) = 8\n" + report(paInternalError),
       {"Pa_Terminate"},
       false},
      // A negative count is PortAudio's error code, printed as its bit pattern.
      {"negative device count",
       "Pa_GetDeviceCount",
       paNotInitialized,
       "q",
       {"first.txt"},
       "ERROR: Pa_GetDeviceCount returned 0xffffd8f0\n" + report(paNotInitialized),
       {"Pa_Terminate"},
       false},
      {"no devices",
       "Pa_GetDeviceCount",
       0,
       "q",
       {"first.txt"},
       "ERROR: Pa_GetDeviceCount returned 0x0\n" + report(0),
       {"Pa_Terminate"},
       false},
      // No stream exists, so there is none to abort or close.
      {"open",
       "Pa_OpenStream",
       paInvalidChannelCount,
       "q",
       {"first.txt"},
       "Num channels = 2.\nLast host error: fake host error\n" + report(paInvalidChannelCount),
       {"Pa_Terminate"},
       false},
      // A failed start mostly means the server is gone, and PortAudio then
      // asserts in close: the run ends with both left to the process's end.
      {"start",
       "Pa_StartStream",
       paUnanticipatedHostError,
       " q",
       {"first.txt"},
       "Press space to proceed, 'x' to exit\n" + report(paUnanticipatedHostError),
       {},
       true},
      {"stream lost while playing",
       "Pa_IsStreamActive",
       0,
       "  q",
       {"first.txt"},
       "Wire off.\n" + report(paDeviceUnavailable),
       {},
       true},
      {"stop",
       "Pa_StopStream",
       paTimedOut,
       "  q",
       {"first.txt"},
       "Wire off.\n" + report(paTimedOut),
       closeAll,
       false},
      // The first file plays; the second cannot be set up.
      {"set-up of the second file",
       "",
       0,
       "  q",
       {"first.txt", "missing.txt"},
       "Wire off.\nOpening file missing.txt\nCan't open missing.txt\n"
       "GlideWarp initialization failed\n" +
           report(0),
       closeAll,
       false},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    fakeAudioReset();
    configReset();
    alsaDevices();
    fakeAudio.failing = c.failing;
    fakeAudio.failure = c.failure;
    Outcome r = run(c.files, c.keys);

    EXPECT_EQ(r.status, -1);
    ASSERT_GE(r.output.size(), c.lastLines.size()) << r.output;
    EXPECT_EQ(r.output.substr(r.output.size() - c.lastLines.size()), c.lastLines) << r.output;
    EXPECT_EQ(r.output.find("Finished"), std::string::npos);
    EXPECT_EQ(teardown(), c.teardown);
    // Nothing of PortAudio is called once it has been ended, but for the
    // error's text.
    const auto ended = std::find(fakeAudio.calls.begin(), fakeAudio.calls.end(), "Pa_Terminate");
    if (ended != fakeAudio.calls.end()) {
      for (auto at = ended + 1; at != fakeAudio.calls.end(); ++at)
        EXPECT_EQ(*at, "Pa_GetErrorText");
    }
    EXPECT_EQ(fakeAudio.streamOpen, c.leftOpen);
    EXPECT_EQ(fakeAudio.initialized, c.leftOpen);
    EXPECT_EQ(typed.next, typed.keys.size()) << "a key was left unread";
  }
}

// A repeat, then the next file: the stream opens once, starts and stops
// once per play, and PortAudio is ended once.
TEST_F(Driver, FullRunOpensTheStreamOnceAndAsksForExactlyTheProjectedBuffers) {
  alsaDevices();
  dir.write("second.txt", "440\n200 330\n");
  Outcome r = run({"first.txt", "second.txt"}, " r   ");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Buffer length: 512 frames\nMinimum buffer length: 64 frames\n"
                          "Maximum buffer length: 4096 frames\nGranularity: -1\n"
                          "Input device # 0.\nOutput device # 1.\nNum channels = 2.\n"),
            std::string::npos)
      << r.output;
  const std::string ending = "Wire off.\nFinished. gNumNoInputs = 0\n";
  ASSERT_GE(r.output.size(), ending.size());
  EXPECT_EQ(r.output.substr(r.output.size() - ending.size()), ending);
  EXPECT_EQ(callCount("Pa_StartStream"), 3);
  EXPECT_EQ(callCount("Pa_StopStream"), 3);
  EXPECT_EQ(teardown(), std::vector<std::string>{"Pa_Terminate"});
  EXPECT_FALSE(fakeAudio.initialized);
  EXPECT_EQ(callCount("jack_client_open"), 0);

  ASSERT_EQ(fakeAudio.opened.size(), 1u);
  const FakeOpenStream& open = fakeAudio.opened[0];
  EXPECT_EQ(open.sampleRate, 44100.0);
  EXPECT_EQ(open.framesPerBuffer, 512u);
  EXPECT_EQ(open.flags, paNoFlag);
  EXPECT_EQ(open.callback, &streamCallback);
  // The callback reaches the program's effect through userData alone.
  ASSERT_NE(open.userData, nullptr);
  EXPECT_EQ(static_cast<const EffectState*>(open.userData)->numChannels, 2);
  EXPECT_EQ(open.input.device, 0);
  EXPECT_EQ(open.output.device, 1);
  for (const PaStreamParameters* p : {&open.input, &open.output}) {
    EXPECT_EQ(p->channelCount, 2);
    EXPECT_EQ(p->sampleFormat, paFloat32);
    EXPECT_EQ(p->hostApiSpecificStreamInfo, nullptr);
  }
  EXPECT_EQ(open.input.suggestedLatency, 0.0116);
  EXPECT_EQ(open.output.suggestedLatency, 0.009);
}

// Whichever JACK device is the input, the buffers are the server's period,
// handed over as the server delivers them.
TEST_F(Driver, UnderJackTheBufferLengthIsTheServersPeriodForEveryDevice) {
  for (int input : {0, 1}) {
    SCOPED_TRACE(input);
    fakeAudioReset();
    configReset();
    jackDevices();
    fakeAudio.jackPeriod = 256;
    const std::string choose = input == 0 ? "0x" : "1x";
    Outcome r = run({"first.txt"}, choose, "DefaultInput: 0\nDefaultOutput: 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Buffer length: 256 frames\n"), std::string::npos) << r.output;
    ASSERT_EQ(fakeAudio.opened.size(), 1u);
    EXPECT_EQ(fakeAudio.opened[0].framesPerBuffer, paFramesPerBufferUnspecified);
    EXPECT_EQ(fakeAudio.opened[0].input.device, input);
    ASSERT_NE(fakeAudio.opened[0].userData, nullptr);
    EXPECT_EQ(
        static_cast<const EffectState*>(fakeAudio.opened[0].userData)->projectedFramesPerBuffer,
        256);
    EXPECT_EQ(callCount("jack_client_open"), 1);
    EXPECT_EQ(fakeAudio.jackClientsOpen, 0) << "the period's client is left open";
  }
}

TEST_F(Driver, UnderJackWithoutAServerToAskTheRunEndsWithTheReport) {
  jackDevices();
  fakeAudio.failing = "jack_client_open";
  Outcome r = run({"first.txt"}, "1q");
  EXPECT_EQ(r.status, -1);
  const std::string ending = "Key pressed: '1' (ASCII code: '49')\n" + report(paDeviceUnavailable);
  ASSERT_GE(r.output.size(), ending.size());
  EXPECT_EQ(r.output.substr(r.output.size() - ending.size()), ending);
  EXPECT_TRUE(fakeAudio.opened.empty());
  EXPECT_EQ(teardown(), std::vector<std::string>{"Pa_Terminate"});
}

// A line input, twelve microphones and a speaker pair: more inputs than
// there are digits.
void manyDevices() {
  fakeAudio.devices = {{"Line In", paALSA, 2, 2, 0.0116, 0.0232, 0.0058, 0.0464}};
  for (int i = 1; i <= 12; ++i)
    fakeAudio.devices.push_back({"USB Mic " + std::to_string(i), paALSA, 1, 0, 0.0116, 0.0232});
  fakeAudio.devices.push_back({"HDMI Speakers", paALSA, 0, 2, 0, 0, 0.009, 0.018});
}

TEST_F(Driver, EveryInputDeviceHasAKeyAndNamesPickTheDefaults) {
  const struct {
    const char* what;
    std::string devicesConfig;
    std::string keys;
    std::string printed;  // from the device prompt on
    int input, output;
  } cases[] = {
      {"the twelfth device by its key", "DefaultInput: 0\nDefaultOutput: 0\n", ";x",
       "Press any of '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', ':', ';', '<' to choose, "
       "or space for default ('0')\nKey pressed: ';' (ASCII code: '59')\n",
       11, 0},
      // The first match: "USB Mic 1" comes before "USB Mic 10" to "USB Mic 12".
      {"the first device whose name holds the text", "DefaultInput: 0\nInputDevice: mic 1\n", " x",
       "or space for default ('1')\nKey pressed: ' ' (ASCII code: '32')\n", 1, 0},
      {"case does not matter, and the name becomes the default",
       "DefaultInput: 0\nDefaultOutput: 0\nInputDevice: MIC 12\nOutputDevice: speakers\n", " x",
       "or space for default ('12')\nKey pressed: ' ' (ASCII code: '32')\n", 12, 13},
      {"a key still overrides the name", "DefaultInput: 0\nInputDevice: MIC 12\n", "3x",
       "or space for default ('12')\nKey pressed: '3' (ASCII code: '51')\n", 3, 0},
      {"no device of that name", "DefaultInput: 2\nDefaultOutput: 0\nInputDevice: Focusrite\n",
       " x",
       "No input device's name contains \"Focusrite\"; the DefaultInput: line applies.\n"
       "Specify the index of the input and output device:\n",
       2, 0},
      // Only devices that can record are inputs, only those that play are outputs.
      {"a name of the other direction",
       "DefaultInput: 2\nDefaultOutput: 0\nInputDevice: HDMI\n"
       "OutputDevice: mic\n",
       " x",
       "No input device's name contains \"HDMI\"; the DefaultInput: line applies.\n"
       "No output device's name contains \"mic\"; the DefaultOutput: line applies.\n",
       2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fakeAudioReset();
    configReset();
    manyDevices();
    Outcome r = run({"first.txt"}, c.keys, c.devicesConfig);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(c.printed), std::string::npos) << r.output;
    // Every input lists its latencies, the thirteenth too.
    EXPECT_NE(r.output.find("device #12: USB Mic 12, via ALSA\nMax inputs = 1, Max outputs = 0\n"
                            "Default low input latency   =   0.0116\n"),
              std::string::npos);
    ASSERT_EQ(fakeAudio.opened.size(), 1u);
    EXPECT_EQ(fakeAudio.opened[0].input.device, c.input);
    EXPECT_EQ(fakeAudio.opened[0].output.device, c.output);
    // The devices used are the indexes written back.
    const std::string saved = readFile(dir.file("glidewarperconfig.txt"));
    EXPECT_NE(saved.find("DefaultInput: " + std::to_string(c.input) + "\n"), std::string::npos)
        << saved;
    if (c.devicesConfig.find("DefaultOutput:") != std::string::npos) {
      EXPECT_NE(saved.find("DefaultOutput: " + std::to_string(c.output) + "\n"), std::string::npos)
          << saved;
    }
  }
}

TEST_F(Driver, WithoutAChoiceANameStillPicksTheDevice) {
  alsaDevices();  // the system's defaults are 0 and 1
  Outcome r = run({"first.txt"}, "x", "DefaultInput: 0\nDefaultOutput: 1\nOutputDevice: line\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.find("Specify the index"), std::string::npos);
  ASSERT_EQ(fakeAudio.opened.size(), 1u);
  EXPECT_EQ(fakeAudio.opened[0].input.device, 0);
  EXPECT_EQ(fakeAudio.opened[0].output.device, 0);
  EXPECT_NE(readFile(dir.file("glidewarperconfig.txt")).find("DefaultOutput: 0\n"),
            std::string::npos);
}

TEST_F(Driver, DevicesThatRefuse44100PlayAtTheInputDevicesOwnRate) {
  alsaDevices();
  fakeAudio.devices[0].defaultSampleRate = 48000;
  fakeAudio.streamRates = {48000};
  Outcome r = run({"first.txt"}, "  ");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Num channels = 2.\n"
                          "Sample rate: 48000 frames per second (the device does not take 44100).\n"
                          "Last host error: fake host error\n"
                          "Opening file first.txt\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Initialized, baby.\n"), std::string::npos) << r.output;
  ASSERT_EQ(fakeAudio.opened.size(), 2u);
  EXPECT_EQ(fakeAudio.opened[0].sampleRate, 44100.0);
  EXPECT_EQ(fakeAudio.opened[1].sampleRate, 48000.0);
  EXPECT_EQ(fakeAudio.opened[1].input.device, 0);
  EXPECT_EQ(fakeAudio.opened[1].framesPerBuffer, 512u);

  // A device whose own rate is 44100 has nothing else to offer.
  fakeAudioReset();
  configReset();
  alsaDevices();
  fakeAudio.streamRates = {48000};
  r = run({"first.txt"}, "q");
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(fakeAudio.opened.size(), 1u);
  EXPECT_EQ(r.output.find("Sample rate"), std::string::npos);
  EXPECT_NE(r.output.find("Last host error: fake host error\n" + report(paInvalidSampleRate)),
            std::string::npos)
      << r.output;
}

TEST_F(Driver, MatchedSplicesAreNamedOnceBeforeTheFirstFile) {
  alsaDevices();
  dir.write("second.txt", "440\n200 330\n");
  Outcome r = run({"first.txt", "second.txt"}, "    ",
                  "DefaultInput: 0\nDefaultOutput: 1\nSplice: matched\nMaxDelay: 30\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Last host error: fake host error\n"
                          "Splice mode: matched, MaxDelay 30 ms.\nOpening file first.txt\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("Splice mode"), r.output.rfind("Splice mode"));
  fakeAudioReset();
  configReset();
  alsaDevices();
  r = run({"first.txt"}, "x", "DefaultInput: 0\nDefaultOutput: 1\nSplice: block\n");
  EXPECT_EQ(r.output.find("Splice mode"), std::string::npos) << r.output;
}

// Every file is set up once before the first is opened for playing; its
// problems are printed, one line each, and the run goes on as before.
TEST_F(Driver, EveryMelodyFileIsCheckedBeforeTheFirstIsOpened) {
  alsaDevices();  // 512 frames: a note may be at most 512 times the base
  dir.write("high.txt", "440\n100 660\n100 300000\n");
  dir.write("empty.txt", "440\n");
  Outcome r = run({"first.txt", "high.txt", "missing.txt", "empty.txt"}, "  q");
  EXPECT_EQ(r.status, -1);
  EXPECT_NE(r.output.find("Last host error: fake host error\n"
                          "Problem in melody file high.txt: Note frequency 300000.000000 is too "
                          "high: at most 225280.000000 fits one buffer at base frequency "
                          "440.000000.\n"
                          "Problem in melody file missing.txt: Can't open missing.txt\n"
                          "Problem in melody file empty.txt: Channel empty.\n"
                          "Opening file first.txt\n"),
            std::string::npos)
      << r.output;
  // Then as before: the first file plays, the second ends the run.
  const std::string ending =
      "Wire off.\nOpening file high.txt\n"
      "Note frequency 300000.000000 is too high: at most 225280.000000 "
      "fits one buffer at base frequency 440.000000.\n"
      "GlideWarp initialization failed\n" +
      report(0);
  ASSERT_GE(r.output.size(), ending.size());
  EXPECT_EQ(r.output.substr(r.output.size() - ending.size()), ending) << r.output;
  EXPECT_EQ(r.output.find("Problem in melody file first.txt"), std::string::npos);

  // Files that all set up print nothing more than before.
  fakeAudioReset();
  configReset();
  alsaDevices();
  r = run({"first.txt", "first.txt"}, "x");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.find("Problem"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Last host error: fake host error\nOpening file first.txt\n"),
            std::string::npos)
      << r.output;
}

}  // namespace
