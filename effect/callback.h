// The audio callback: the one place where live audio meets the effect.
#pragma once

#include <portaudio.h>

// Frames per buffer that the effect's blocks are sized for; set before the
// stream is opened.
extern int projectedFramesPerBuffer;
// Samples per frame of the stream, both directions; set before the stream is opened.
extern int numChannels;
// Buffers that arrived without input, over the whole run.
extern int gNumNoInputs;
// Set once the buffer-length discrepancy has been reported.
extern int discrepancyReported;

int streamCallback(const void* inputBuffer, void* outputBuffer, unsigned long framesPerBuffer,
                   const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                   void* userData);
