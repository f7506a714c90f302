#include "devices.h"

#include <jack/jack.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "callback.h"

#if defined(_WIN32) && __has_include(<pa_asio.h>)
#include <pa_asio.h>
#define GW_HAVE_ASIO 1
#else
#define GW_HAVE_ASIO 0
#endif

PaStream* stream = nullptr;
PaStreamParameters inputParameters = {};
PaStreamParameters outputParameters = {};
int streamSampleRate = 44100;

namespace {

constexpr double sampleRate = 44100;
constexpr long shortestBuffer = 64;
constexpr long longestBuffer = 4096;

void appendKey(char* keys, int* count, int index) {
  keys[*count] = static_cast<char>('0' + index);
  ++*count;
  keys[*count] = '\0';
}

}  // namespace

void printDevice(int index, const PaDeviceInfo& info, const char* hostApiName, int* numInputDevices,
                 int* numOutputDevices, char* inputDeviceKeys, char* outputDeviceKeys) {
  printf("device #%d: ", index);
  printf("%s, ", info.name);
  printf("via %s\n", hostApiName);
  printf("Max inputs = %d", info.maxInputChannels);
  printf(", Max outputs = %d\n", info.maxOutputChannels);
  const bool keyed = index >= 0 && index <= lastKeyedDevice;
  if (info.maxInputChannels > 0 && keyed && *numInputDevices < maxDeviceKeys) {
    printf("Default low input latency   = %8.4f\n", info.defaultLowInputLatency);
    printf("Default high input latency  = %8.4f\n", info.defaultHighInputLatency);
    appendKey(inputDeviceKeys, numInputDevices, index);
  }
  if (info.maxOutputChannels > 0 && keyed && *numOutputDevices < maxDeviceKeys) {
    printf("Default low output latency  = %8.4f\n", info.defaultLowOutputLatency);
    printf("Default high output latency = %8.4f\n", info.defaultHighOutputLatency);
    appendKey(outputDeviceKeys, numOutputDevices, index);
  }
  printf("\n");
}

void listDevices(int deviceCount, int* numInputDevices, int* numOutputDevices,
                 char* inputDeviceKeys, char* outputDeviceKeys) {
  inputDeviceKeys[*numInputDevices] = '\0';
  outputDeviceKeys[*numOutputDevices] = '\0';
  printf("Number of devices = %d\n", deviceCount);
  for (int i = 0; i < deviceCount; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info) continue;
    const PaHostApiInfo* hostApi = Pa_GetHostApiInfo(info->hostApi);
    printDevice(i, *info, hostApi ? hostApi->name : "", numInputDevices, numOutputDevices,
                inputDeviceKeys, outputDeviceKeys);
  }
}

static bool containsIgnoringCase(const char* text, const char* part) {
  const std::size_t length = std::strlen(part);
  for (; *text; ++text) {
    std::size_t i = 0;
    while (i < length && text[i] &&
           std::tolower(static_cast<unsigned char>(text[i])) ==
               std::tolower(static_cast<unsigned char>(part[i])))
      ++i;
    if (i == length) return true;
  }
  return length == 0;
}

PaDeviceIndex findDeviceByName(int deviceCount, const char* part, bool input) {
  for (int i = 0; i < deviceCount; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || !info->name) continue;
    const int channels = input ? info->maxInputChannels : info->maxOutputChannels;
    if (channels > 0 && containsIgnoringCase(info->name, part)) return i;
  }
  return -1;
}

long preferredBufferFrames(double latencySeconds) {
  const double frames = latencySeconds * sampleRate;
  long length = shortestBuffer;
  // Halfway between two powers of two lies at 1.5 times the smaller one.
  while (length < longestBuffer && frames >= 1.5 * static_cast<double>(length)) length *= 2;
  return length;
}

bool underJack(PaDeviceIndex device) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  const PaHostApiInfo* hostApi = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
  return hostApi && hostApi->type == paJACK;
}

// A client of its own, for the moment of the question: PortAudio keeps its
// JACK client to itself.
long jackServerPeriod() {
  jack_client_t* client = jack_client_open("glidewarper-period", JackNoStartServer, nullptr);
  if (!client) return 0;
  const long period = static_cast<long>(jack_get_buffer_size(client));
  jack_client_close(client);
  return period;
}

#if GW_HAVE_ASIO

PaError showControlPanel(PaDeviceIndex device, void* systemSpecific) {
  return PaAsio_ShowControlPanel(device, systemSpecific);
}

PaError getAvailableBufferSizes(PaDeviceIndex device, long* minimum, long* maximum, long* preferred,
                                long* granularity) {
  return PaAsio_GetAvailableBufferSizes(device, minimum, maximum, preferred, granularity);
}

// The ASIO driver calls back with exactly its preferred length.
static unsigned long streamFramesPerBuffer(PaDeviceIndex) {
  return paFramesPerBufferUnspecified;
}

#else

PaError showControlPanel(PaDeviceIndex, void*) {
  return paNoError;
}

PaError getAvailableBufferSizes(PaDeviceIndex device, long* minimum, long* maximum, long* preferred,
                                long* granularity) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  if (!info) return paInvalidDevice;
  *minimum = shortestBuffer;
  *maximum = longestBuffer;
  *granularity = -1;
  if (underJack(device)) {
    // A device's latency says nothing about the period: JACK reports 0 for
    // another program's ports. Without the period no buffer length is known.
    *preferred = jackServerPeriod();
    return *preferred > 0 ? paNoError : paDeviceUnavailable;
  }
  *preferred = preferredBufferFrames(info->defaultLowInputLatency);
  return paNoError;
}

// JACK calls back once per period, so PortAudio hands its buffers over as
// they come; asked for a fixed length it would regroup them, a period later.
// ALSA (and PulseAudio or PipeWire through it) picks its own lengths unless
// asked for one, and then PortAudio delivers exactly the length asked for.
static unsigned long streamFramesPerBuffer(PaDeviceIndex device, int projected) {
  if (underJack(device)) return paFramesPerBufferUnspecified;
  return static_cast<unsigned long>(projected);
}

#endif

PaError prepareStream(EffectState& fx, PaDeviceIndex inputDevice, PaDeviceIndex outputDevice) {
  PaError err = showControlPanel(inputDevice, nullptr);
  if (err != paNoError) return err;

  long minimum = 0, maximum = 0, preferred = 0, granularity = 0;
  err = getAvailableBufferSizes(inputDevice, &minimum, &maximum, &preferred, &granularity);
  if (err != paNoError) return err;
  fx.projectedFramesPerBuffer = static_cast<int>(preferred);
  printf("Buffer length: %d frames\n", fx.projectedFramesPerBuffer);
  printf("Minimum buffer length: %d frames\n", static_cast<int>(minimum));
  printf("Maximum buffer length: %d frames\n", static_cast<int>(maximum));
  printf("Granularity: %d\n", static_cast<int>(granularity));

  printf("Input device # %d.\n", inputDevice);
  const PaDeviceInfo* inputInfo = Pa_GetDeviceInfo(inputDevice);
  if (!inputInfo) return paInvalidDevice;
  printf("Output device # %d.\n", outputDevice);
  const PaDeviceInfo* outputInfo = Pa_GetDeviceInfo(outputDevice);
  if (!outputInfo) return paInvalidDevice;

  fx.numChannels = inputInfo->maxInputChannels < outputInfo->maxOutputChannels
                       ? inputInfo->maxInputChannels
                       : outputInfo->maxOutputChannels;
  printf("Num channels = %d.\n", fx.numChannels);

  inputParameters.device = inputDevice;
  inputParameters.channelCount = fx.numChannels;
  inputParameters.sampleFormat = paFloat32;
  inputParameters.suggestedLatency = inputInfo->defaultLowInputLatency;
  inputParameters.hostApiSpecificStreamInfo = nullptr;
  outputParameters.device = outputDevice;
  outputParameters.channelCount = fx.numChannels;
  outputParameters.sampleFormat = paFloat32;
  outputParameters.suggestedLatency = outputInfo->defaultLowOutputLatency;
  outputParameters.hostApiSpecificStreamInfo = nullptr;

  streamSampleRate = static_cast<int>(sampleRate);
  err = Pa_OpenStream(&stream, &inputParameters, &outputParameters, sampleRate,
                      streamFramesPerBuffer(inputDevice, fx.projectedFramesPerBuffer), paNoFlag,
                      streamCallback, &fx);
  // A JACK server runs at its own rate, and many interfaces take only 48000.
  const double ownRate = std::round(inputInfo->defaultSampleRate);
  if (err == paInvalidSampleRate && ownRate >= 1 && ownRate <= 1e6 && ownRate != sampleRate) {
    err = Pa_OpenStream(&stream, &inputParameters, &outputParameters, ownRate,
                        streamFramesPerBuffer(inputDevice, fx.projectedFramesPerBuffer), paNoFlag,
                        streamCallback, &fx);
    if (err == paNoError) {
      streamSampleRate = static_cast<int>(ownRate);
      printf("Sample rate: %d frames per second (the device does not take 44100).\n",
             streamSampleRate);
    }
  }
  const PaHostErrorInfo* hostError = Pa_GetLastHostErrorInfo();
  printf("Last host error: %s\n", hostError && hostError->errorText ? hostError->errorText : "");
  if (err != paNoError) stream = nullptr;
  return err;
}
