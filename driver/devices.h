// Audio devices and the program's one full-duplex stream.
#pragma once

#include <portaudio.h>

#include "effect.h"

// Null until prepareStream has opened the stream.
extern PaStream* stream;
extern PaStreamParameters inputParameters;
extern PaStreamParameters outputParameters;

// Room for 10 device keys and the terminating NUL.
constexpr int deviceKeysSize = 11;
constexpr int maxDeviceKeys = 10;

// Prints the device list and collects the keys ('0' + index) of the first 10
// input-capable and the first 10 output-capable devices; the counts are
// counted up from what the caller passes in.
void listDevices(int deviceCount, int* numInputDevices, int* numOutputDevices,
                 char* inputDeviceKeys, char* outputDeviceKeys);

// One device's block of the list; keeps both key strings terminated.
void printDevice(int index, const PaDeviceInfo& info, const char* hostApiName, int* numInputDevices,
                 int* numOutputDevices, char* inputDeviceKeys, char* outputDeviceKeys);

// Shows the input driver's control panel, learns its buffer lengths (the
// preferred one becomes the effect's projectedFramesPerBuffer), derives its
// numChannels and opens the stream with streamCallback playing through `fx`. 0 when the stream is
// open, else the code of the first call that failed; paInvalidDevice for an index that names no
// device.
PaError prepareStream(EffectState& fx, PaDeviceIndex inputDevice, PaDeviceIndex outputDevice);

// The driver-level calls that an ASIO host offers and other hosts lack.
// Without ASIO there is no control panel: the call returns 0 at once.
PaError showControlPanel(PaDeviceIndex device, void* systemSpecific);
// Buffer lengths in frames; granularity -1 means powers of two. Without
// ASIO the preferred length is the server's period for a JACK device, else
// the power of two nearest the device's default low input latency.
PaError getAvailableBufferSizes(PaDeviceIndex device, long* minimum, long* maximum, long* preferred,
                                long* granularity);

// Whether the device belongs to PortAudio's JACK host API.
bool underJack(PaDeviceIndex device);
// The period of the JACK server this process reaches, in frames; 0 when no
// server answers. Every JACK client runs buffers of exactly this length.
long jackServerPeriod();

// The power of two nearest to `latencySeconds` at 44100 frames per second,
// kept within 64 to 4096.
long preferredBufferFrames(double latencySeconds);
