#include "devices.h"

#include <gtest/gtest.h>

#include <string>

#include "testsupport.h"

namespace {

PaDeviceInfo device(const char* name, int inputs, int outputs) {
  PaDeviceInfo info = {};
  info.name = name;
  info.maxInputChannels = inputs;
  info.maxOutputChannels = outputs;
  info.defaultLowInputLatency = 0.0116;
  info.defaultHighInputLatency = 0.0232;
  info.defaultLowOutputLatency = 0.0116;
  info.defaultHighOutputLatency = 0.0232;
  return info;
}

struct Keys {
  int numIn = 0;
  int numOut = 0;
  char in[deviceKeysSize] = {};
  char out[deviceKeysSize] = {};
};

std::string print(int index, const PaDeviceInfo& info, Keys& keys) {
  startCapture();
  printDevice(index, info, "ASIO", &keys.numIn, &keys.numOut, keys.in, keys.out);
  return endCapture();
}

TEST(PrintDevice, DuplexDeviceShowsBothLatencyPairsAndGetsBothKeys) {
  Keys keys;
  keys.numIn = 1;
  keys.numOut = 1;
  keys.in[0] = keys.out[0] = '0';
  std::string text = print(3, device("Line In", 2, 2), keys);
  EXPECT_EQ(text,
            "device #3: Line In, via ASIO\n"
            "Max inputs = 2, Max outputs = 2\n"
            "Default low input latency   =   0.0116\n"
            "Default high input latency  =   0.0232\n"
            "Default low output latency  =   0.0116\n"
            "Default high output latency =   0.0232\n"
            "\n");
  EXPECT_STREQ(keys.in, "03");
  EXPECT_STREQ(keys.out, "03");
  EXPECT_EQ(keys.numIn, 2);
  EXPECT_EQ(keys.numOut, 2);
}

TEST(PrintDevice, DeviceWithoutChannelsShowsOnlyItsNameAndCounts) {
  Keys keys;
  EXPECT_EQ(print(0, device("Nothing", 0, 0), keys),
            "device #0: Nothing, via ASIO\nMax inputs = 0, Max outputs = 0\n\n");
  EXPECT_STREQ(keys.in, "");
  EXPECT_EQ(keys.numIn, 0);
}

TEST(PrintDevice, EveryDeviceUpToTildeGetsItsKeyWithItsLatencies) {
  Keys keys;
  // Twelve input-only devices, then an output-only one.
  for (int i = 0; i < 12; ++i) print(i, device("Mic", 1, 0), keys);
  std::string thirteenth = print(12, device("Mic", 1, 0), keys);
  print(13, device("Speaker", 0, 2), keys);

  EXPECT_STREQ(keys.in, "0123456789:;<");
  EXPECT_EQ(keys.numIn, 13);
  EXPECT_STREQ(keys.out, "=");  // '0' + 13
  EXPECT_EQ(thirteenth,
            "device #12: Mic, via ASIO\nMax inputs = 1, Max outputs = 0\n"
            "Default low input latency   =   0.0116\n"
            "Default high input latency  =   0.0232\n\n");

  // '~' is the last key that can be typed: the device after it has none.
  Keys last;
  for (int i = lastKeyedDevice - 1; i <= lastKeyedDevice + 1; ++i)
    print(i, device("Duplex", 1, 1), last);
  EXPECT_STREQ(last.in, "}~");
  EXPECT_STREQ(last.out, "}~");
  EXPECT_EQ(print(lastKeyedDevice + 1, device("Duplex", 1, 1), last),
            "device #79: Duplex, via ASIO\nMax inputs = 1, Max outputs = 1\n\n");

  // Every key of a full list fits the key strings.
  Keys all;
  for (int i = 0; i < 100; ++i) print(i, device("Duplex", 1, 1), all);
  EXPECT_EQ(all.numIn, maxDeviceKeys);
  EXPECT_EQ(std::string(all.in).size() + 1, static_cast<std::size_t>(deviceKeysSize));
  EXPECT_EQ(all.in[maxDeviceKeys - 1], '~');
}

TEST(PreferredBufferFrames, NearestPowerOfTwoWithinLimits) {
  EXPECT_EQ(preferredBufferFrames(512 / 44100.0), 512);
  EXPECT_EQ(preferredBufferFrames(0.0116), 512);  // 511.6 frames
  EXPECT_EQ(preferredBufferFrames(700 / 44100.0), 512);
  EXPECT_EQ(preferredBufferFrames(800 / 44100.0), 1024);
  EXPECT_EQ(preferredBufferFrames(768 / 44100.0), 1024);  // halfway goes up
  EXPECT_EQ(preferredBufferFrames(0.0), 64);
  EXPECT_EQ(preferredBufferFrames(10 / 44100.0), 64);
  EXPECT_EQ(preferredBufferFrames(1.0), 4096);
}

TEST(GetAvailableBufferSizes, NoDeviceRecordGivesInvalidDevice) {
  ASSERT_EQ(Pa_Initialize(), paNoError);
  long minimum = 0, maximum = 0, preferred = 0, granularity = 0;
  EXPECT_EQ(getAvailableBufferSizes(paNoDevice, &minimum, &maximum, &preferred, &granularity),
            paInvalidDevice);
  EXPECT_EQ(getAvailableBufferSizes(Pa_GetDeviceCount() + 3, &minimum, &maximum, &preferred,
                                    &granularity),
            paInvalidDevice);
  EXPECT_EQ(showControlPanel(0, nullptr), paNoError);
  Pa_Terminate();
}

}  // namespace
