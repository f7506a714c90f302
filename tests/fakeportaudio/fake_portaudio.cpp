#include "fake_portaudio.h"

#include <jack/jack.h>

#include <algorithm>
#include <cstdio>

FakeAudio fakeAudio;

namespace {

std::vector<PaDeviceInfo> deviceInfos;
std::vector<PaHostApiInfo> hostApiInfos;
PaHostErrorInfo hostError = {paALSA, 0, "fake host error"};
int theStream;  // its address is the one stream handle
int theJackClient;

// Records the call; true when the test wants it to fail.
bool call(const char* name) {
  fakeAudio.calls.push_back(name);
  return fakeAudio.failing == name;
}

const char* hostApiName(PaHostApiTypeId type) {
  return type == paJACK ? "JACK Audio Connection Kit" : "ALSA";
}

// One PaHostApiInfo per type, in the order the devices first name them.
PaHostApiIndex hostApiIndex(PaHostApiTypeId type) {
  for (std::size_t i = 0; i < hostApiInfos.size(); ++i)
    if (hostApiInfos[i].type == type) return static_cast<PaHostApiIndex>(i);
  PaHostApiInfo info = {};
  info.structVersion = 1;
  info.type = type;
  info.name = hostApiName(type);
  hostApiInfos.push_back(info);
  return static_cast<PaHostApiIndex>(hostApiInfos.size() - 1);
}

void buildInfos() {
  deviceInfos.clear();
  hostApiInfos.clear();
  for (const FakeDevice& d : fakeAudio.devices) {
    PaDeviceInfo info = {};
    info.structVersion = 2;
    info.name = d.name.c_str();
    info.hostApi = hostApiIndex(d.hostApi);
    info.maxInputChannels = d.maxInputChannels;
    info.maxOutputChannels = d.maxOutputChannels;
    info.defaultLowInputLatency = d.defaultLowInputLatency;
    info.defaultHighInputLatency = d.defaultHighInputLatency;
    info.defaultLowOutputLatency = d.defaultLowOutputLatency;
    info.defaultHighOutputLatency = d.defaultHighOutputLatency;
    info.defaultSampleRate = d.defaultSampleRate;
    deviceInfos.push_back(info);
  }
}

}  // namespace

void fakeAudioReset() {
  fakeAudio = FakeAudio{};
  deviceInfos.clear();
  hostApiInfos.clear();
}

std::string fakeErrorText(PaError code) {
  return "fake error " + std::to_string(code);
}

PaError Pa_Initialize(void) {
  if (call("Pa_Initialize")) return fakeAudio.failure;
  buildInfos();
  fakeAudio.initialized = true;
  return paNoError;
}

PaError Pa_Terminate(void) {
  call("Pa_Terminate");
  if (!fakeAudio.initialized) return paNotInitialized;
  fakeAudio.initialized = false;
  fakeAudio.streamOpen = fakeAudio.streamActive = false;  // as PortAudio closes what is left
  return paNoError;
}

PaDeviceIndex Pa_GetDeviceCount(void) {
  if (call("Pa_GetDeviceCount")) return fakeAudio.failure;
  return static_cast<PaDeviceIndex>(deviceInfos.size());
}

const PaDeviceInfo* Pa_GetDeviceInfo(PaDeviceIndex device) {
  call("Pa_GetDeviceInfo");
  if (device < 0 || static_cast<std::size_t>(device) >= deviceInfos.size()) return nullptr;
  return &deviceInfos[static_cast<std::size_t>(device)];
}

const PaHostApiInfo* Pa_GetHostApiInfo(PaHostApiIndex hostApi) {
  call("Pa_GetHostApiInfo");
  if (hostApi < 0 || static_cast<std::size_t>(hostApi) >= hostApiInfos.size()) return nullptr;
  return &hostApiInfos[static_cast<std::size_t>(hostApi)];
}

PaDeviceIndex Pa_GetDefaultInputDevice(void) {
  call("Pa_GetDefaultInputDevice");
  return fakeAudio.defaultInput;
}

PaDeviceIndex Pa_GetDefaultOutputDevice(void) {
  call("Pa_GetDefaultOutputDevice");
  return fakeAudio.defaultOutput;
}

PaError Pa_OpenStream(PaStream** stream, const PaStreamParameters* inputParameters,
                      const PaStreamParameters* outputParameters, double sampleRate,
                      unsigned long framesPerBuffer, PaStreamFlags streamFlags,
                      PaStreamCallback* streamCallback, void* userData) {
  FakeOpenStream args;
  if (inputParameters) args.input = *inputParameters;
  if (outputParameters) args.output = *outputParameters;
  args.sampleRate = sampleRate;
  args.framesPerBuffer = framesPerBuffer;
  args.flags = streamFlags;
  args.callback = streamCallback;
  args.userData = userData;
  fakeAudio.opened.push_back(args);
  if (call("Pa_OpenStream")) return fakeAudio.failure;
  const auto& rates = fakeAudio.streamRates;
  if (!rates.empty() && std::find(rates.begin(), rates.end(), sampleRate) == rates.end())
    return paInvalidSampleRate;
  *stream = &theStream;
  fakeAudio.streamOpen = true;
  return paNoError;
}

PaError Pa_StartStream(PaStream*) {
  if (call("Pa_StartStream")) return fakeAudio.failure;
  fakeAudio.streamActive = true;
  return paNoError;
}

PaError Pa_StopStream(PaStream*) {
  if (call("Pa_StopStream")) return fakeAudio.failure;
  fakeAudio.streamActive = false;
  return paNoError;
}

PaError Pa_AbortStream(PaStream*) {
  call("Pa_AbortStream");
  fakeAudio.streamActive = false;
  return paNoError;
}

PaError Pa_CloseStream(PaStream*) {
  call("Pa_CloseStream");
  fakeAudio.streamOpen = fakeAudio.streamActive = false;
  return paNoError;
}

// Failing, it answers "not active": the stream has lost its host.
PaError Pa_IsStreamActive(PaStream*) {
  if (call("Pa_IsStreamActive")) return 0;
  return fakeAudio.streamActive ? 1 : 0;
}

const PaHostErrorInfo* Pa_GetLastHostErrorInfo(void) {
  call("Pa_GetLastHostErrorInfo");
  return &hostError;
}

const char* Pa_GetErrorText(PaError errorCode) {
  call("Pa_GetErrorText");
  static std::string text;
  text = fakeErrorText(errorCode);
  return text.c_str();
}

jack_client_t* jack_client_open(const char*, jack_options_t, jack_status_t* status, ...) {
  if (call("jack_client_open")) {
    if (status) *status = JackServerFailed;
    return nullptr;
  }
  if (status) *status = static_cast<jack_status_t>(0);
  ++fakeAudio.jackClientsOpen;
  return reinterpret_cast<jack_client_t*>(&theJackClient);
}

jack_nframes_t jack_get_buffer_size(jack_client_t*) {
  call("jack_get_buffer_size");
  return fakeAudio.jackPeriod;
}

int jack_client_close(jack_client_t*) {
  call("jack_client_close");
  --fakeAudio.jackClientsOpen;
  return 0;
}
