// A small LV2 host on lilv for the plugin's tests: it loads the bundles of
// one folder (LV2_PATH), runs plugin instances block by block with events on
// their control port, runs each instance's worker on a thread of its own,
// collects what the plugins send on their notify port and log, and saves
// and restores their state through lilv.
#pragma once

#include <lilv/lilv.h>
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// URIs to numbers, shared by every instance of a world; any thread may map.
struct UridTable {
  std::mutex lock;
  std::map<std::string, LV2_URID> ids;
  std::vector<std::string> uris;  // index id - 1
};

struct LogLine {
  std::string type;  // the log type's URI
  std::string text;
};

struct Lv2World {
  LilvWorld* world = nullptr;
  UridTable urids;
  LV2_URID_Map map{};
  LV2_URID_Unmap unmap{};
  std::mutex logLock;
  std::vector<LogLine> log;
  LV2_Log_Log logFeature{};
};

// Loads every bundle in `folder` (as LV2_PATH); false with a reason when no
// plugin was found there.
bool worldOpen(Lv2World& world, const std::string& folder, std::string& error);
void worldClose(Lv2World& world);
LV2_URID mapUri(Lv2World& world, const char* uri);
std::vector<LogLine> takeLog(Lv2World& world);

// A message the plugin sent on its notify port: a patch:Set.
struct Notified {
  long long frame;  // input frames run before it, counted from activation
  std::string property;
  std::string path;  // for an atom:Path value
  float number = 0;  // for an atom:Float value
};

struct Lv2Instance {
  Lv2World* world = nullptr;
  const LilvPlugin* plugin = nullptr;
  LilvInstance* instance = nullptr;
  double rate = 0;
  uint32_t maxBlock = 0;
  long long framesRun = 0;

  std::vector<uint32_t> audioIn, audioOut;  // port indices, in order
  uint32_t controlPort = 0, notifyPort = 0;
  std::vector<float> controls;  // one value per port index
  std::vector<std::vector<float>> inBuffers, outBuffers;
  std::vector<uint64_t> controlBuffer, notifyBuffer;  // atom sequences, 8-byte aligned

  // Events for the next run, already forged, with their frames.
  struct Pending {
    uint32_t frame;
    std::vector<uint8_t> atom;  // a whole LV2_Atom with its body
  };
  std::vector<Pending> pending;
  std::vector<Notified> notified;

  // The worker: requests go to its thread, replies back to the next run.
  // Requests wait in a ring of bytes allocated once, since plugins ask from
  // their run(), as in a real host.
  const LV2_Worker_Interface* workerInterface = nullptr;
  LV2_Worker_Schedule schedule{};
  std::thread workerThread;
  std::mutex workerLock;
  std::condition_variable workerWake;
  std::vector<uint8_t> requestRing;
  std::size_t requestStart = 0, requestBytes = 0;
  std::deque<std::vector<uint8_t>> replies;
  bool workerBusy = false;
  bool workerStop = false;

  // Called right before and after the plugin's run(), if set.
  void (*beforeRun)() = nullptr;
  void (*afterRun)() = nullptr;
};

// Instantiates and activates `uri` at `rate`, with every control at its
// default; runs take at most `maxBlock` frames.
bool instanceOpen(Lv2Instance& inst, Lv2World& world, const char* uri, double rate,
                  uint32_t maxBlock, std::string& error);
void instanceClose(Lv2Instance& inst);

// Controls by symbol; outputs (the latency) read after a run.
void setControl(Lv2Instance& inst, const char* symbol, float value);
float control(const Lv2Instance& inst, const char* symbol);

// Messages for the next run, at `frame` within it.
void sendPosition(Lv2Instance& inst, uint32_t frame, long long hostFrame, float speed);
void sendMelody(Lv2Instance& inst, uint32_t frame, const std::string& path);
void sendGet(Lv2Instance& inst, uint32_t frame, const char* property = nullptr);

// One run of `frames` frames: `in` and `out` hold one pointer per audio
// port. The worker's replies that have arrived are delivered after it.
void runBlock(Lv2Instance& inst, const float* const* in, float* const* out, uint32_t frames);

// Waits until the worker has nothing left to do, then delivers its replies.
void settleWorker(Lv2Instance& inst);

// Saves the instance's state into `folder`, or restores it from there;
// with `restoreWorker` the restore gets the instance's worker to use.
bool saveState(Lv2Instance& inst, const std::string& folder);
bool restoreState(Lv2Instance& inst, const std::string& folder, bool restoreWorker = false);
