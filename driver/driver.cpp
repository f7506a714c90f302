#include "driver.h"

#include <portaudio.h>

#include <cstdio>
#include <string>
#include <vector>

#include "callback.h"
#include "config.h"
#include "console.h"
#include "devices.h"
#include "effect.h"

namespace {

// Set when the stream's host went away under it (the audio server died):
// PortAudio's abort, close and terminate then wait for a callback that never
// comes, or assert, so the error exit leaves them out; the process ends anyway.
bool streamLost = false;

int commonErrorExit(PaError err) {
  // Aborting first also covers a stream whose stop failed: no callback may
  // still be running once anything is torn down.
  if (stream && !streamLost) {
    Pa_AbortStream(stream);
    Pa_CloseStream(stream);
  }
  if (!streamLost) Pa_Terminate();
  printf("An error occured while using the portaudio stream\n");
  printf("Error number: %d\n", err);
  printf("Error message: %s\n", Pa_GetErrorText(err));
  promptAnyKey();
  return -1;
}

// The proceed prompt; once standard input has ended no key can come, so the
// run is wound up: no new file is started, a playing one is let go.
int proceedOr(signed char altKey, const char* altAction, int whenInputEnded) {
  const ProgramConfig& config = programConfig;
  int answer = promptProceed(static_cast<signed char>(config.defaultKeyCode & 0xff),
                             config.defaultKeyName, altKey, altAction);
  return answer < 0 ? whenInputEnded : answer;
}

void printBanner() {
  printf("glidewarper\n");
  printf("(c) glidewarper developers 2026\n");
  fflush(stdout);
}

void printTypeSizes() {
  printf("sizeof(int) = %lu\n", static_cast<unsigned long>(sizeof(int)));
  fflush(stdout);
  printf("sizeof(long) = %lu\n", static_cast<unsigned long>(sizeof(long)));
  fflush(stdout);
}

// Starts PortAudio and counts its devices; false when the run cannot go on,
// with `err` the error, or for a count of 0 or less the count itself (a count
// of 0 is then reported as error number 0).
bool startPortAudio(int* deviceCount, PaError* err) {
  *err = Pa_Initialize();
  if (*err != paNoError) return false;
  *deviceCount = Pa_GetDeviceCount();
  if (*deviceCount <= 0) {
    printf("ERROR: Pa_GetDeviceCount returned 0x%x\n", static_cast<unsigned>(*deviceCount));
    *err = *deviceCount;
    return false;
  }
  return true;
}

struct Devices {
  PaDeviceIndex input;
  PaDeviceIndex output;
};

// The device an "InputDevice:" or "OutputDevice:" line names, which becomes
// `index`; -1 without such a line or when no device matches (one line says
// so, and the index stays as the configuration gave it).
PaDeviceIndex namedDevice(int deviceCount, const char* name, bool input, int& index) {
  if (!name) return -1;
  const PaDeviceIndex found = findDeviceByName(deviceCount, name, input);
  if (found < 0) {
    printf("No %s device's name contains \"%s\"; the %s line applies.\n",
           input ? "input" : "output", name, input ? "DefaultInput:" : "DefaultOutput:");
    return -1;
  }
  index = found;
  return found;
}

// Lists the devices and asks for the input where there is a choice; the
// choice is kept in the configuration file for the next run.
Devices chooseDevices(int deviceCount) {
  int numInputDevices = 0;
  int numOutputDevices = 0;
  char inputDeviceKeys[deviceKeysSize] = {};
  char outputDeviceKeys[deviceKeysSize] = {};
  listDevices(deviceCount, &numInputDevices, &numOutputDevices, inputDeviceKeys, outputDeviceKeys);

  ProgramConfig& config = programConfig;
  const PaDeviceIndex namedInput =
      namedDevice(deviceCount, config.inputDeviceName, true, config.defaultInput);
  const PaDeviceIndex namedOutput =
      namedDevice(deviceCount, config.outputDeviceName, false, config.defaultOutput);
  Devices devices;
  if (numInputDevices <= 1) {
    // No choice to ask for: the system's defaults, unless a name picks one.
    devices = {namedInput >= 0 ? namedInput : Pa_GetDefaultInputDevice(),
               namedOutput >= 0 ? namedOutput : Pa_GetDefaultOutputDevice()};
  } else {
    printf("Specify the index of the input and output device:\n");
    const signed char defaultKey = static_cast<signed char>(config.defaultKeyCode & 0xff);
    config.defaultInput =
        promptChoose(inputDeviceKeys, defaultKey, config.defaultKeyName, config.defaultInput);
    devices = {config.defaultInput, config.defaultOutput};
  }
  configSave();
  return devices;
}

// What the effect is told of the configuration.
EffectSettings effectSettings(const ProgramConfig& config) {
  EffectSettings settings;
  settings.loop = config.infiniteLoop;
  settings.stereoMode = config.stereoMode;
  settings.spliceMode = config.spliceMode;
  settings.readMode = config.readMode;
  settings.maxDelayMs = config.maxDelayMs;
  settings.pitchMode = config.pitchMode;
  settings.retuneMs = config.retuneMs;
  settings.sampleRate = streamSampleRate;  // the stream is open by now
  return settings;
}

void collectMessage(void* context, const char* text) {
  static_cast<std::vector<std::string>*>(context)->push_back(text);
}

// Sets every melody file up as its turn will, on an effect of its own and
// for the stream as it is, and releases it again: a file that would stop the
// show in the middle shows now, at the sound check, one line per problem.
void checkMelodyFiles(const EffectState& live) {
  const ProgramConfig& config = programConfig;
  for (int i = 0; i < config.melodyFileCount; ++i) {
    const char* path = config.melodyFiles[i];
    std::vector<std::string> messages;
    EffectSettings settings = effectSettings(config);
    settings.log = collectMessage;
    settings.logContext = &messages;
    EffectState check;
    const bool failed =
        liveEffectInit(check, settings, path, live.numChannels, live.projectedFramesPerBuffer) != 0;
    effectRelease(check);
    if (!failed) continue;
    for (const std::string& message : messages) {
      if (message.rfind("Opening file ", 0) == 0) continue;
      const bool ended = !message.empty() && message.back() == '\n';
      printf("Problem in melody file %s: %s%s", path, message.c_str(), ended ? "" : "\n");
    }
  }
}

// How one play of a melody file ended.
enum class PlayEnd { next, repeat, exit, setUpFailed, streamFailed };

// One melody file: set up, wire on, wire off. On streamFailed `err` holds
// PortAudio's error; on setUpFailed it is left as it was.
PlayEnd playFile(EffectState& fx, const char* path, PaError* err) {
  if (liveEffectInit(fx, effectSettings(programConfig), path, fx.numChannels,
                     fx.projectedFramesPerBuffer) != 0) {
    printf("GlideWarp initialization failed\n");
    return PlayEnd::setUpFailed;
  }
  if (proceedOr('x', "exit", 1) == 1) return PlayEnd::exit;

  *err = Pa_StartStream(stream);
  if (*err != paNoError) {
    // Mostly the server has gone, and closing then asserts inside PortAudio.
    streamLost = true;
    return PlayEnd::streamFailed;
  }
  printf("Wire on, file %s.\n", path);
  fflush(stdout);

  const bool repeat = proceedOr('r', "repeat", 0) == 1;
  printf("Wire off.\n");
  fflush(stdout);

  // Our callback never ends the stream, so one that is no longer active
  // has lost its host.
  if (Pa_IsStreamActive(stream) != 1) {
    streamLost = true;
    *err = paDeviceUnavailable;
    return PlayEnd::streamFailed;
  }
  *err = Pa_StopStream(stream);
  if (*err != paNoError) return PlayEnd::streamFailed;
  effectRelease(fx);
  return repeat ? PlayEnd::repeat : PlayEnd::next;
}

}  // namespace

int runProgram() {
  // The program's one effect. It outlives the run, since a stream whose
  // server went away is never closed and might still reach it.
  static EffectState liveEffect;
  // One run per process, but tests run several in one.
  effectRelease(liveEffect);
  liveEffect = EffectState{};
  stream = nullptr;
  streamLost = false;

  printBanner();
  if (configLoad() != 0) {
    printf("An error occured. The application will close.\n");
    promptAnyKey();
    return -1;
  }
  printTypeSizes();

  int deviceCount = 0;
  PaError err = paNoError;
  if (!startPortAudio(&deviceCount, &err)) return commonErrorExit(err);
  const Devices devices = chooseDevices(deviceCount);
  err = prepareStream(liveEffect, devices.input, devices.output);
  if (err != paNoError) return commonErrorExit(err);
  if (programConfig.spliceMode == spliceMatched)
    printf("Splice mode: matched, MaxDelay %d ms.\n", programConfig.maxDelayMs);
  checkMelodyFiles(liveEffect);

  const ProgramConfig& config = programConfig;
  for (int fileIndex = 0; fileIndex < config.melodyFileCount; ++fileIndex) {
    const PlayEnd end = playFile(liveEffect, config.melodyFiles[fileIndex], &err);
    if (end == PlayEnd::exit) break;
    if (end == PlayEnd::repeat) --fileIndex;
    // A failed set-up has printed its own reasons; the report that follows
    // is the one every failure ends with, and its number is PortAudio's last
    // result, which succeeded: so it reads "Error number: 0".
    if (end == PlayEnd::setUpFailed || end == PlayEnd::streamFailed) return commonErrorExit(err);
  }

  printf("Finished. gNumNoInputs = %d\n", liveEffect.gNumNoInputs);
  Pa_Terminate();
  return 0;
}
