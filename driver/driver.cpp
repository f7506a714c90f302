#include "driver.h"

#include <portaudio.h>

#include <cstdio>

#include "callback.h"
#include "config.h"
#include "console.h"
#include "devices.h"
#include "effect.h"

namespace {

constexpr int sampleRate = 44100;

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

}  // namespace

int runProgram() {
  printf("glidewarper\n");
  printf("(c) glidewarper developers 2026\n");
  fflush(stdout);

  if (configLoad() != 0) {
    printf("An error occured. The application will close.\n");
    promptAnyKey();
    return -1;
  }

  printf("sizeof(int) = %lu\n", static_cast<unsigned long>(sizeof(int)));
  fflush(stdout);
  printf("sizeof(long) = %lu\n", static_cast<unsigned long>(sizeof(long)));
  fflush(stdout);

  PaError err = Pa_Initialize();
  if (err != paNoError) return commonErrorExit(err);

  const int deviceCount = Pa_GetDeviceCount();
  if (deviceCount <= 0) {
    printf("ERROR: Pa_GetDeviceCount returned 0x%x\n", static_cast<unsigned>(deviceCount));
    return commonErrorExit(deviceCount);
  }

  int numInputDevices = 0;
  int numOutputDevices = 0;
  char inputDeviceKeys[deviceKeysSize] = {};
  char outputDeviceKeys[deviceKeysSize] = {};
  listDevices(deviceCount, &numInputDevices, &numOutputDevices, inputDeviceKeys, outputDeviceKeys);

  ProgramConfig& config = programConfig;
  const signed char defaultKey = static_cast<signed char>(config.defaultKeyCode & 0xff);
  PaDeviceIndex inputDevice;
  PaDeviceIndex outputDevice;
  if (numInputDevices <= 1) {
    inputDevice = Pa_GetDefaultInputDevice();
    outputDevice = Pa_GetDefaultOutputDevice();
  } else {
    printf("Specify the index of the input and output device:\n");
    config.defaultInput =
        promptChoose(inputDeviceKeys, defaultKey, config.defaultKeyName, config.defaultInput);
    inputDevice = config.defaultInput;
    outputDevice = config.defaultOutput;
  }
  configSave();

  err = prepareStream(inputDevice, outputDevice);
  if (err != paNoError) return commonErrorExit(err);

  for (int fileIndex = 0; fileIndex < config.melodyFileCount; ++fileIndex) {
    const char* path = config.melodyFiles[fileIndex];
    if (liveEffectInit(path, numChannels, projectedFramesPerBuffer, sampleRate,
                       config.infiniteLoop) != 0) {
      printf("GlideWarp initialization failed\n");
      return commonErrorExit(err);
    }
    if (proceedOr('x', "exit", 1) == 1) break;

    err = Pa_StartStream(stream);
    if (err != paNoError) {
      // Mostly the server has gone, and closing then asserts inside PortAudio.
      streamLost = true;
      return commonErrorExit(err);
    }
    printf("Wire on, file %s.\n", path);
    fflush(stdout);

    if (proceedOr('r', "repeat", 0) == 1) --fileIndex;
    printf("Wire off.\n");
    fflush(stdout);

    // Our callback never ends the stream, so one that is no longer active
    // has lost its host.
    if (Pa_IsStreamActive(stream) != 1) {
      streamLost = true;
      return commonErrorExit(paDeviceUnavailable);
    }
    err = Pa_StopStream(stream);
    if (err != paNoError) return commonErrorExit(err);
    effectRelease();
  }

  printf("Finished. gNumNoInputs = %d\n", gNumNoInputs);
  Pa_Terminate();
  return 0;
}
