// A stand-in for PortAudio (and the one libjack query the driver makes) for
// tests that link the driver against it instead of the real libraries: it
// plays back the devices a test describes, records every call in order, and
// fails the one call a test names.
#pragma once

#include <portaudio.h>

#include <string>
#include <vector>

struct FakeDevice {
  std::string name;
  PaHostApiTypeId hostApi = paALSA;
  int maxInputChannels = 0;
  int maxOutputChannels = 0;
  double defaultLowInputLatency = 0;
  double defaultHighInputLatency = 0;
  double defaultLowOutputLatency = 0;
  double defaultHighOutputLatency = 0;
  double defaultSampleRate = 44100;
};

// What Pa_OpenStream was handed.
struct FakeOpenStream {
  PaStreamParameters input = {};
  PaStreamParameters output = {};
  double sampleRate = 0;
  unsigned long framesPerBuffer = 0;
  PaStreamFlags flags = 0;
  PaStreamCallback* callback = nullptr;
  void* userData = nullptr;
};

struct FakeAudio {
  // Set up by the test.
  std::vector<FakeDevice> devices;
  PaDeviceIndex defaultInput = 0;
  PaDeviceIndex defaultOutput = 0;
  unsigned jackPeriod = 512;          // what jack_get_buffer_size answers
  std::string failing;                // name of the call that fails, e.g. "Pa_StartStream"
  PaError failure = paInternalError;  // what it returns (Pa_GetDeviceCount: the count)
  // The only rates Pa_OpenStream takes (paInvalidSampleRate for others); empty takes any.
  std::vector<double> streamRates;

  // Recorded.
  std::vector<std::string> calls;  // every call, by name, in order
  std::vector<FakeOpenStream> opened;
  bool initialized = false;  // Pa_Initialize succeeded and no Pa_Terminate since
  bool streamOpen = false;
  bool streamActive = false;
  int jackClientsOpen = 0;
};

extern FakeAudio fakeAudio;

// Back to no devices, no failure and nothing recorded.
void fakeAudioReset();
// The text Pa_GetErrorText gives for `code`.
std::string fakeErrorText(PaError code);
