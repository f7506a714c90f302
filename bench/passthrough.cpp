// gw_passthrough: the floor of the latency figures. A PortAudio stream that
// copies its input to its output and does nothing else, on one device for
// both directions, so that a round trip through it shows what PortAudio
// itself costs.
//
//   gw_passthrough [--frames N] DEVICE
//
// DEVICE is the start of a device name ("jack_delay"). N frames per buffer,
// 0 (the default) for the host's own length. Prints "running" once the
// stream runs and stops when standard input ends.
#include <portaudio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int channels = 1;

int copyThrough(const void* input, void* output, unsigned long frames,
                const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void*) {
  const std::size_t bytes = frames * static_cast<std::size_t>(channels) * sizeof(float);
  if (input)
    std::memcpy(output, input, bytes);
  else
    std::memset(output, 0, bytes);
  return paContinue;
}

PaDeviceIndex deviceNamed(const std::string& prefix) {
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info && std::strncmp(info->name, prefix.c_str(), prefix.size()) == 0) return i;
  }
  return paNoDevice;
}

int fail(const char* what, PaError err) {
  std::fprintf(stderr, "gw_passthrough: %s: %s\n", what, Pa_GetErrorText(err));
  Pa_Terminate();
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long frames = paFramesPerBufferUnspecified;
  std::string name;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
      frames = std::strtoul(argv[++i], nullptr, 10);
    else
      name = argv[i];
  }
  if (name.empty()) {
    std::fprintf(stderr, "usage: gw_passthrough [--frames N] DEVICE\n");
    return 2;
  }

  PaError err = Pa_Initialize();
  if (err != paNoError) return fail("initialize", err);
  const PaDeviceIndex device = deviceNamed(name);
  if (device == paNoDevice) return fail(name.c_str(), paInvalidDevice);
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  channels = info->maxInputChannels < info->maxOutputChannels ? info->maxInputChannels
                                                              : info->maxOutputChannels;
  const PaStreamParameters input = {device, channels, paFloat32, info->defaultLowInputLatency,
                                    nullptr};
  const PaStreamParameters output = {device, channels, paFloat32, info->defaultLowOutputLatency,
                                     nullptr};
  PaStream* stream = nullptr;
  err = Pa_OpenStream(&stream, &input, &output, 44100, frames, paNoFlag, copyThrough, nullptr);
  if (err != paNoError) return fail("open", err);
  err = Pa_StartStream(stream);
  if (err != paNoError) return fail("start", err);
  std::printf("running\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  Pa_StopStream(stream);
  Pa_CloseStream(stream);
  Pa_Terminate();
  return 0;
}
