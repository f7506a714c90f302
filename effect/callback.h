// The audio callback: the one place where live audio meets the effect.
#pragma once

#include <portaudio.h>

// `userData` is the EffectState the stream plays through; its
// projectedFramesPerBuffer and numChannels are set before the stream opens.
// Audio thread: allocates nothing, locks nothing, prints at most two lines per run.
int streamCallback(const void* inputBuffer, void* outputBuffer, unsigned long framesPerBuffer,
                   const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                   void* userData);
