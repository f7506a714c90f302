// Audio devices and the program's one full-duplex stream.
#pragma once

#include <portaudio.h>

#include "effect.h"

// Null until prepareStream has opened the stream.
extern PaStream* stream;
extern PaStreamParameters inputParameters;
extern PaStreamParameters outputParameters;

// A device's key is the character '0' + its index: '0' to '9', then ':',
// ';', '<' and so on up to '~', the last key that can be typed (index 78).
constexpr int lastKeyedDevice = '~' - '0';
constexpr int maxDeviceKeys = lastKeyedDevice + 1;
// Room for every key and the terminating NUL.
constexpr int deviceKeysSize = maxDeviceKeys + 1;

// The stream's sample rate once prepareStream has opened it: 44100, or the
// input device's own rate when the devices do not take 44100.
extern int streamSampleRate;

// Prints the device list and collects the keys of every input-capable and
// every output-capable device that has one; the counts are counted up from
// what the caller passes in.
void listDevices(int deviceCount, int* numInputDevices, int* numOutputDevices,
                 char* inputDeviceKeys, char* outputDeviceKeys);

// One device's block of the list; keeps both key strings terminated.
void printDevice(int index, const PaDeviceInfo& info, const char* hostApiName, int* numInputDevices,
                 int* numOutputDevices, char* inputDeviceKeys, char* outputDeviceKeys);

// The first device able to record (input) or to play (not input) whose name
// holds `part`, ignoring case; -1 when there is none.
PaDeviceIndex findDeviceByName(int deviceCount, const char* part, bool input);

// Shows the input driver's control panel, learns its buffer lengths (the
// preferred one becomes the effect's projectedFramesPerBuffer), derives its
// numChannels and opens the stream with streamCallback playing through `fx`,
// at 44100 frames per second or, when the devices refuse that rate, at the
// input device's default rate (one line says so). 0 when the stream is open,
// else the code of the first call that failed; paInvalidDevice for an index
// that names no device.
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
