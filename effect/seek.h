// Placing a set-up melody at any point of its timeline, for hosts that move
// around in a song: the note that sounds there, its tick and the repeat
// counters of the sections already played.
#pragma once

#include "effect.h"

// Frames one pass of the melody lasts from its start, by the effect's own
// tick clock; -1 when the melody loops and so never ends.
long long effectMelodyFrames(EffectState& fx);

// Puts every channel where playback from set-up would be after `frame`
// output frames: its note, tick and frame within the tick, and every note's
// repeat counter as the sections played so far leave it. Repeated sections
// count as often as they are played; a looping melody wraps. The read
// position starts afresh, as at set-up (the input delayed by one block in
// block mode, not at all in matched mode), so nothing depends on where
// playback was. A negative frame holds the first note's first tick that
// many frames longer. Past the end of a melody that does not loop every
// channel is left finished (passing its input through) and 1 is returned;
// otherwise 0. Allocates nothing, so the audio thread may call it.
int effectSeek(EffectState& fx, long long frame);
