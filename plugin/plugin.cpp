// The LV2 plugins urn:glidewarper:mono and urn:glidewarper:stereo: ports,
// messages, the worker that sets melodies up, and the state that keeps the
// melody's path in a host's session.
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "core.h"
#include "melody.h"

namespace {

constexpr char monoUri[] = "urn:glidewarper:mono";
constexpr char stereoUri[] = "urn:glidewarper:stereo";
constexpr char melodyUri[] = "urn:glidewarper:melody";
constexpr char delayUri[] = "urn:glidewarper:delay";

// Longest melody path a message carries: a request must fit the host's
// worker queue, a few kilobytes in common hosts.
constexpr std::size_t maxPathBytes = 2000;

struct Uris {
  LV2_URID atomPath, atomString, atomFloat, atomDouble, atomLong, atomInt, atomObject, atomBlank;
  LV2_URID patchSet, patchGet, patchProperty, patchValue;
  LV2_URID timePosition, timeFrame, timeSpeed;
  LV2_URID melody, delay;
};

void mapUris(Uris& u, LV2_URID_Map* map) {
  auto m = [map](const char* uri) { return map->map(map->handle, uri); };
  u.atomPath = m(LV2_ATOM__Path);
  u.atomString = m(LV2_ATOM__String);
  u.atomFloat = m(LV2_ATOM__Float);
  u.atomDouble = m(LV2_ATOM__Double);
  u.atomLong = m(LV2_ATOM__Long);
  u.atomInt = m(LV2_ATOM__Int);
  u.atomObject = m(LV2_ATOM__Object);
  u.atomBlank = m(LV2_ATOM__Blank);
  u.patchSet = m(LV2_PATCH__Set);
  u.patchGet = m(LV2_PATCH__Get);
  u.patchProperty = m(LV2_PATCH__property);
  u.patchValue = m(LV2_PATCH__value);
  u.timePosition = m(LV2_TIME__Position);
  u.timeFrame = m(LV2_TIME__frame);
  u.timeSpeed = m(LV2_TIME__speed);
  u.melody = m(melodyUri);
  u.delay = m(delayUri);
}

// Worker messages. A request to set a melody up carries its path after the
// header; the others carry a pointer.
enum JobType : uint32_t { jobLoad = 1, jobRebuild = 2, jobFree = 3, jobPathTooLong = 4 };

struct LoadJob {
  uint32_t type;
  MelodySettings settings;
  uint32_t pathBytes;  // the path follows, with its terminating zero
};

// Sets the melody last set up on the worker up again with new settings.
struct RebuildJob {
  uint32_t type;
  MelodySettings settings;
};

struct PointerJob {
  uint32_t type;
  Melody* melody;
};

struct Ports {
  const float* in[2] = {};
  float* out[2] = {};
  const LV2_Atom_Sequence* control = nullptr;
  LV2_Atom_Sequence* notify = nullptr;
  const float* splice = nullptr;
  const float* maxDelay = nullptr;
  const float* loop = nullptr;
  const float* offset = nullptr;
  const float* stereo = nullptr;
  float* latency = nullptr;
};

// Melodies the audio thread could not yet hand to the worker for freeing.
constexpr int maxUnfreed = 4;

struct Plugin {
  bool stereo = false;
  LV2_URID_Map* map = nullptr;
  LV2_Worker_Schedule* schedule = nullptr;
  LV2_Log_Logger logger{};
  Uris uris{};
  LV2_Atom_Forge forge{};
  LV2_Atom_Forge_Frame notifyFrame{};  // the notify sequence, open during a run
  bool forging = false;
  Ports ports;
  Core core;
  MelodySettings requested;  // of the last set-up asked of the worker
  bool announce = false;     // the melody changed: tell the host at the next run
  float lastDelayMs = 0;
  Melody* unfreed[maxUnfreed] = {};
  // The path a saved state names: the last melody set up. The worker writes
  // it and the host's state thread reads it, never the audio thread.
  std::mutex savedLock;
  std::string savedPath;
  unsigned char job[sizeof(LoadJob) + maxPathBytes + 1] = {};  // jobBytes
};

const void* feature(const LV2_Feature* const* features, const char* uri) {
  for (int i = 0; features && features[i]; ++i)
    if (std::strcmp(features[i]->URI, uri) == 0) return features[i]->data;
  return nullptr;
}

// Settings from the controls, with the default for a control not connected.
MelodySettings controlSettings(const Plugin& p) {
  MelodySettings s;
  const Ports& c = p.ports;
  if (c.splice) s.splice = *c.splice >= 0.5f ? spliceMatched : spliceBlock;
  if (c.maxDelay && std::isfinite(*c.maxDelay))
    s.maxDelayMs = static_cast<int>(std::lround(std::fmin(std::fmax(*c.maxDelay, 5.0f), 1000.0f)));
  if (c.loop) s.loop = *c.loop >= 0.5f ? 1 : 0;
  if (p.stereo && c.stereo && std::isfinite(*c.stereo)) {
    const long mode = std::lround(*c.stereo);
    s.stereo = mode == 1 ? stereoLeftToBoth : mode == 2 ? stereoRightToBoth : stereoNone;
  }
  return s;
}

void logMessage(void* context, bool error, const char* text) {
  auto* p = static_cast<Plugin*>(context);
  if (error)
    lv2_log_error(&p->logger, "%s", text);
  else
    lv2_log_note(&p->logger, "%s", text);
}

// Worker side: sets a melody up and remembers its path for saved states.
Melody* loadMelody(Plugin& p, const char* path, const MelodySettings& settings) {
  Melody* melody =
      melodyLoad(path, settings, p.core.rate, p.core.channels, p.core.blockFrames, logMessage, &p);
  if (melody) {
    std::lock_guard<std::mutex> lock(p.savedLock);
    p.savedPath = melody->path;
  }
  return melody;
}

// Asks the worker to set `path` up with `settings`, through `job`, which
// holds jobBytes.
constexpr std::size_t jobBytes = sizeof(LoadJob) + maxPathBytes + 1;

void requestLoad(const LV2_Worker_Schedule* schedule, unsigned char* job, const char* path,
                 std::size_t length, const MelodySettings& settings) {
  if (length > maxPathBytes) {
    const uint32_t type = jobPathTooLong;
    schedule->schedule_work(schedule->handle, sizeof type, &type);
    return;
  }
  const LoadJob header{jobLoad, settings, static_cast<uint32_t>(length + 1)};
  std::memcpy(job, &header, sizeof header);
  std::memcpy(job + sizeof header, path, length);
  job[sizeof header + length] = 0;
  schedule->schedule_work(schedule->handle, static_cast<uint32_t>(sizeof header + length + 1), job);
}

// Audio side: the same through the plugin's own buffer.
void requestLoad(Plugin& p, const char* path, std::size_t length, const MelodySettings& settings) {
  p.requested = settings;
  requestLoad(p.schedule, p.job, path, length, settings);
}

// Hands a melody to the worker for freeing; keeps it for the next run when
// the worker's queue is full.
void releaseMelody(Plugin& p, Melody* melody) {
  if (!melody) return;
  const PointerJob job{jobFree, melody};
  if (p.schedule->schedule_work(p.schedule->handle, sizeof job, &job) == LV2_WORKER_SUCCESS) return;
  for (Melody*& slot : p.unfreed)
    if (!slot) {
      slot = melody;
      return;
    }
  // Nowhere to keep it: leaking it is safer than freeing it here.
}

void retryRelease(Plugin& p) {
  for (Melody*& slot : p.unfreed) {
    if (!slot) continue;
    Melody* melody = slot;
    slot = nullptr;
    releaseMelody(p, melody);
  }
}

// --- Messages on the notify port ---

void beginNotify(Plugin& p) {
  p.forging = false;
  if (!p.ports.notify) return;
  const uint32_t capacity = p.ports.notify->atom.size;
  lv2_atom_forge_set_buffer(&p.forge, reinterpret_cast<uint8_t*>(p.ports.notify), capacity);
  p.forging = lv2_atom_forge_sequence_head(&p.forge, &p.notifyFrame, 0) != 0;
}

void endNotify(Plugin& p) {
  if (p.forging) lv2_atom_forge_pop(&p.forge, &p.notifyFrame);
  p.forging = false;
}

// patch:Set of `property` to a value written by `value`.
template <typename WriteValue>
void notifySet(Plugin& p, uint32_t frame, LV2_URID property, WriteValue value) {
  if (!p.forging) return;
  LV2_Atom_Forge_Frame object;
  if (!lv2_atom_forge_frame_time(&p.forge, frame)) return;
  if (!lv2_atom_forge_object(&p.forge, &object, 0, p.uris.patchSet)) return;
  lv2_atom_forge_key(&p.forge, p.uris.patchProperty);
  lv2_atom_forge_urid(&p.forge, property);
  lv2_atom_forge_key(&p.forge, p.uris.patchValue);
  value();
  lv2_atom_forge_pop(&p.forge, &object);
}

void notifyMelody(Plugin& p, uint32_t frame) {
  const char* path = p.core.melody ? p.core.melody->path : "";
  notifySet(p, frame, p.uris.melody,
            [&] { lv2_atom_forge_path(&p.forge, path, static_cast<uint32_t>(std::strlen(path))); });
}

void notifyDelay(void* context, uint32_t frame, float ms) {
  auto* p = static_cast<Plugin*>(context);
  p->lastDelayMs = ms;
  notifySet(*p, frame, p->uris.delay, [&] { lv2_atom_forge_float(&p->forge, ms); });
}

// --- Messages on the control port ---

// Some hosts (jalv among them) place their event buffers only 4 bytes
// aligned, so 8-byte fields are copied out rather than read in place.
template <typename T>
T bodyOf(const LV2_Atom* atom) {
  T value;
  std::memcpy(&value, LV2_ATOM_BODY_CONST(atom), sizeof value);
  return value;
}

bool number(const Uris& u, const LV2_Atom* atom, double& value) {
  if (!atom) return false;
  if (atom->type == u.atomLong && atom->size >= sizeof(int64_t))
    value = static_cast<double>(bodyOf<int64_t>(atom));
  else if (atom->type == u.atomInt && atom->size >= sizeof(int32_t))
    value = bodyOf<int32_t>(atom);
  else if (atom->type == u.atomFloat && atom->size >= sizeof(float))
    value = bodyOf<float>(atom);
  else if (atom->type == u.atomDouble && atom->size >= sizeof(double))
    value = bodyOf<double>(atom);
  else
    return false;
  return true;
}

void onPosition(Plugin& p, const LV2_Atom_Object* object) {
  const LV2_Atom* frameAtom = nullptr;
  const LV2_Atom* speedAtom = nullptr;
  lv2_atom_object_get(object, p.uris.timeFrame, &frameAtom, p.uris.timeSpeed, &speedAtom, 0);
  double frame = 0, speed = 0;
  const bool hasFrame = number(p.uris, frameAtom, frame);
  const bool hasSpeed = number(p.uris, speedAtom, speed);
  corePosition(p.core, hasFrame ? &frame : nullptr, hasSpeed ? &speed : nullptr);
}

void onSet(Plugin& p, const LV2_Atom_Object* object) {
  const LV2_Atom* property = nullptr;
  const LV2_Atom* value = nullptr;
  lv2_atom_object_get(object, p.uris.patchProperty, &property, p.uris.patchValue, &value, 0);
  if (!property || property->type != p.forge.URID ||
      reinterpret_cast<const LV2_Atom_URID*>(property)->body != p.uris.melody)
    return;
  if (!value || (value->type != p.uris.atomPath && value->type != p.uris.atomString)) return;
  const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
  const std::size_t length = strnlen(path, value->size);
  if (length == 0) return;
  requestLoad(p, path, length, controlSettings(p));
}

void onGet(Plugin& p, const LV2_Atom_Object* object, uint32_t frame) {
  const LV2_Atom* property = nullptr;
  lv2_atom_object_get(object, p.uris.patchProperty, &property, 0);
  if (!property) {
    notifyMelody(p, frame);
    return;
  }
  if (property->type != p.forge.URID) return;
  const LV2_URID which = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
  if (which == p.uris.melody)
    notifyMelody(p, frame);
  else if (which == p.uris.delay)
    notifyDelay(&p, frame, p.lastDelayMs);
}

void onMessage(Plugin& p, const LV2_Atom* atom, uint32_t frame) {
  if (atom->type != p.uris.atomObject && atom->type != p.uris.atomBlank) return;
  if (atom->size < sizeof(LV2_Atom_Object_Body)) return;
  const auto* object = reinterpret_cast<const LV2_Atom_Object*>(atom);
  if (object->body.otype == p.uris.timePosition)
    onPosition(p, object);
  else if (object->body.otype == p.uris.patchSet)
    onSet(p, object);
  else if (object->body.otype == p.uris.patchGet)
    onGet(p, object, frame);
}

// --- LV2 entry points ---

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features) {
  auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(feature(features, LV2_URID__map)));
  auto* schedule =
      static_cast<LV2_Worker_Schedule*>(const_cast<void*>(feature(features, LV2_WORKER__schedule)));
  auto* log = static_cast<LV2_Log_Log*>(const_cast<void*>(feature(features, LV2_LOG__log)));
  if (!map || !schedule || !(rate >= 1 && rate <= 1e6)) return nullptr;
  auto* p = new (std::nothrow) Plugin;
  if (!p) return nullptr;
  p->stereo = std::strcmp(descriptor->URI, stereoUri) == 0;
  p->map = map;
  p->schedule = schedule;
  lv2_log_logger_init(&p->logger, map, log);
  mapUris(p->uris, map);
  lv2_atom_forge_init(&p->forge, map);
  if (!coreInit(p->core, static_cast<int>(std::lround(rate)), p->stereo ? 2 : 1)) {
    delete p;
    return nullptr;
  }
  return p;
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) {
  auto* p = static_cast<Plugin*>(handle);
  Ports& c = p->ports;
  const int audio = p->stereo ? 4 : 2;
  if (port < static_cast<uint32_t>(audio)) {
    const int channels = audio / 2;
    const int channel = static_cast<int>(port) % channels;
    if (static_cast<int>(port) < channels)
      c.in[channel] = static_cast<const float*>(data);
    else
      c.out[channel] = static_cast<float*>(data);
    return;
  }
  switch (port - audio) {
    case 0:
      c.control = static_cast<const LV2_Atom_Sequence*>(data);
      break;
    case 1:
      c.notify = static_cast<LV2_Atom_Sequence*>(data);
      break;
    case 2:
      c.splice = static_cast<const float*>(data);
      break;
    case 3:
      c.maxDelay = static_cast<const float*>(data);
      break;
    case 4:
      c.loop = static_cast<const float*>(data);
      break;
    case 5:
      c.offset = static_cast<const float*>(data);
      break;
    case 6:
      c.latency = static_cast<float*>(data);
      break;
    case 7:
      if (p->stereo) c.stereo = static_cast<const float*>(data);
      break;
    default:
      break;
  }
}

void activate(LV2_Handle handle) {
  coreReset(static_cast<Plugin*>(handle)->core);
}

void run(LV2_Handle handle, uint32_t frames) {
  auto* p = static_cast<Plugin*>(handle);
  Core& core = p->core;
  retryRelease(*p);
  const MelodySettings settings = controlSettings(*p);
  core.routing = settings.stereo;
  core.idleSplice = settings.splice;
  // A control that shapes the set-up changed: the worker sets the melody up
  // again (once per change, whatever becomes of it).
  if (core.melody && !(core.melody->settings == settings) && !(p->requested == settings)) {
    p->requested = settings;
    const RebuildJob job{jobRebuild, settings};
    p->schedule->schedule_work(p->schedule->handle, sizeof job, &job);
  }
  if (p->ports.offset && std::isfinite(*p->ports.offset)) coreOffset(core, *p->ports.offset);
  coreBeginRun(core);

  beginNotify(*p);
  if (p->announce) {
    notifyMelody(*p, 0);
    p->announce = false;
  }
  uint32_t done = 0;
  if (p->ports.control) {
    // The events one by one, their headers copied out (see bodyOf).
    const LV2_Atom_Sequence* sequence = p->ports.control;
    const auto* next = reinterpret_cast<const uint8_t*>(sequence + 1);
    const auto* end = reinterpret_cast<const uint8_t*>(&sequence->body) + sequence->atom.size;
    while (next + sizeof(LV2_Atom_Event) <= end) {
      int64_t time;
      LV2_Atom header;
      std::memcpy(&time, next, sizeof time);
      std::memcpy(&header, next + sizeof time, sizeof header);
      if (next + sizeof(LV2_Atom_Event) + header.size > end) break;
      const uint32_t at =
          time < 0
              ? done
              : static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(time, done), frames));
      if (at > done) {
        coreRun(core, p->ports.in, p->ports.out, done, at, notifyDelay, p);
        done = at;
      }
      onMessage(*p, reinterpret_cast<const LV2_Atom*>(next + sizeof time), done);
      next += lv2_atom_pad_size(static_cast<uint32_t>(sizeof(LV2_Atom_Event) + header.size));
    }
  }
  coreRun(core, p->ports.in, p->ports.out, done, frames, notifyDelay, p);
  endNotify(*p);
  if (p->ports.latency) *p->ports.latency = static_cast<float>(coreLatency(core));
}

void cleanup(LV2_Handle handle) {
  auto* p = static_cast<Plugin*>(handle);
  for (Melody* melody : p->unfreed) melodyFree(melody);
  melodyFree(coreInstall(p->core, nullptr));
  coreFree(p->core);
  delete p;
}

// --- Worker ---

LV2_Worker_Status work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle respondHandle, uint32_t size, const void* data) {
  auto* p = static_cast<Plugin*>(handle);
  uint32_t type = 0;
  if (size < sizeof type) return LV2_WORKER_ERR_UNKNOWN;
  std::memcpy(&type, data, sizeof type);
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (type == jobLoad && size > sizeof(LoadJob)) {
    LoadJob header;
    std::memcpy(&header, data, sizeof header);
    // The path is the rest of the message, cut at its first zero.
    std::string path(
        reinterpret_cast<const char*>(bytes + sizeof header),
        strnlen(reinterpret_cast<const char*>(bytes + sizeof header), size - sizeof header));
    Melody* melody = loadMelody(*p, path.c_str(), header.settings);
    if (melody) respond(respondHandle, sizeof melody, &melody);
    return LV2_WORKER_SUCCESS;
  }
  if (type == jobRebuild && size == sizeof(RebuildJob)) {
    RebuildJob job;
    std::memcpy(&job, data, sizeof job);
    std::string path;
    {
      std::lock_guard<std::mutex> lock(p->savedLock);
      path = p->savedPath;
    }
    Melody* melody = path.empty() ? nullptr : loadMelody(*p, path.c_str(), job.settings);
    if (melody) respond(respondHandle, sizeof melody, &melody);
    return LV2_WORKER_SUCCESS;
  }
  if (type == jobFree && size == sizeof(PointerJob)) {
    PointerJob job;
    std::memcpy(&job, data, sizeof job);
    melodyFree(job.melody);
    return LV2_WORKER_SUCCESS;
  }
  if (type == jobPathTooLong) {
    lv2_log_error(&p->logger, "Melody path longer than %zu bytes.\n", maxPathBytes);
    return LV2_WORKER_SUCCESS;
  }
  return LV2_WORKER_ERR_UNKNOWN;
}

LV2_Worker_Status workResponse(LV2_Handle handle, uint32_t size, const void* data) {
  auto* p = static_cast<Plugin*>(handle);
  Melody* melody = nullptr;
  if (size != sizeof melody) return LV2_WORKER_ERR_UNKNOWN;
  std::memcpy(&melody, data, sizeof melody);
  releaseMelody(*p, coreInstall(p->core, melody));
  // Settings asked for earlier may have been overtaken: the next run
  // compares the controls with this melody's.
  p->requested = melody->settings;
  p->announce = true;
  return LV2_WORKER_SUCCESS;
}

// --- State ---

LV2_State_Status save(LV2_Handle handle, LV2_State_Store_Function store,
                      LV2_State_Handle stateHandle, uint32_t, const LV2_Feature* const* features) {
  auto* p = static_cast<Plugin*>(handle);
  std::string path;
  {
    std::lock_guard<std::mutex> lock(p->savedLock);
    path = p->savedPath;
  }
  if (path.empty()) return LV2_STATE_SUCCESS;
  const auto* mapPath =
      static_cast<const LV2_State_Map_Path*>(feature(features, LV2_STATE__mapPath));
  const auto* freePath =
      static_cast<const LV2_State_Free_Path*>(feature(features, LV2_STATE__freePath));
  char* stored =
      mapPath ? mapPath->abstract_path(mapPath->handle, path.c_str()) : strdup(path.c_str());
  if (!stored) return LV2_STATE_ERR_UNKNOWN;
  const LV2_State_Status status =
      store(stateHandle, p->uris.melody, stored, std::strlen(stored) + 1, p->uris.atomPath,
            LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
  if (freePath)
    freePath->free_path(freePath->handle, stored);
  else
    std::free(stored);
  return status;
}

LV2_State_Status restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle stateHandle, uint32_t,
                         const LV2_Feature* const* features) {
  auto* p = static_cast<Plugin*>(handle);
  std::size_t size = 0;
  uint32_t type = 0, flags = 0;
  const void* value = retrieve(stateHandle, p->uris.melody, &size, &type, &flags);
  if (!value) return LV2_STATE_SUCCESS;  // a state without a melody keeps the current one
  if (type != p->uris.atomPath) return LV2_STATE_ERR_BAD_TYPE;
  const std::string stored(static_cast<const char*>(value),
                           strnlen(static_cast<const char*>(value), size));
  const auto* mapPath =
      static_cast<const LV2_State_Map_Path*>(feature(features, LV2_STATE__mapPath));
  const auto* freePath =
      static_cast<const LV2_State_Free_Path*>(feature(features, LV2_STATE__freePath));
  char* absolute =
      mapPath ? mapPath->absolute_path(mapPath->handle, stored.c_str()) : strdup(stored.c_str());
  if (!absolute) return LV2_STATE_ERR_UNKNOWN;
  const std::string path = absolute;
  if (freePath)
    freePath->free_path(freePath->handle, absolute);
  else
    std::free(absolute);

  // A host that may restore while the plugin runs passes a worker for it;
  // otherwise nothing runs now and the melody is put in place at once.
  const MelodySettings settings = controlSettings(*p);
  const auto* schedule =
      static_cast<const LV2_Worker_Schedule*>(feature(features, LV2_WORKER__schedule));
  if (schedule) {
    unsigned char job[jobBytes];
    requestLoad(schedule, job, path.c_str(), path.size(), settings);
    return LV2_STATE_SUCCESS;
  }
  Melody* melody = loadMelody(*p, path.c_str(), settings);
  if (!melody) return LV2_STATE_ERR_UNKNOWN;
  melodyFree(coreInstall(p->core, melody));
  p->requested = settings;
  p->announce = true;
  return LV2_STATE_SUCCESS;
}

const void* extensionData(const char* uri) {
  static const LV2_State_Interface state = {save, restore};
  static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
  if (std::strcmp(uri, LV2_STATE__interface) == 0) return &state;
  if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
  return nullptr;
}

const LV2_Descriptor descriptors[] = {
    {monoUri, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
    {stereoUri, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index < 2 ? &descriptors[index] : nullptr;
}
