// The cycle builder without the step index: each new step is compared with
// every earlier one. Kept as the reference that the indexed builder must
// match, and as the baseline of the set-up benchmark.
#pragma once

#include <cstdlib>
#include <vector>

#include "effect.h"

// Builds the whole step list of a note of `frequency` on `channel` (first
// step included) and leaves the channel as appendNote does. Returns the
// list's steps in order; the caller frees each with std::free.
inline std::vector<MoveStep*> buildPlainCycle(EffectState& fx, DelayChannel* channel,
                                              float frequency) {
  Note plain{};
  plain.frequency = frequency;
  Note* saved = channel->lastNote;
  channel->lastNote = &plain;
  do advancePhase(fx, channel);
  while (channel->lastStep);
  channel->lastNote = saved;
  channel->phase = 0;
  channel->readOffset = 0;
  std::vector<MoveStep*> steps;
  for (MoveStep* step = plain.step; step && !step->visited; step = step->next) {
    step->visited = 1;
    steps.push_back(step);
  }
  for (MoveStep* step : steps) step->visited = 0;
  return steps;
}
