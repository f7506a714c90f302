#include "lv2host.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t atomBufferBytes = 64 * 1024;

// The control sequence starts 4 bytes into its buffer, aligned only as jalv
// aligns its own, so plugins that read 8-byte fields in place are caught by
// the alignment checks of the sanitizer builds.
constexpr std::size_t controlMisalignment = 4;

uint8_t* controlSequence(Lv2Instance& inst) {
  return reinterpret_cast<uint8_t*>(inst.controlBuffer.data()) + controlMisalignment;
}

LV2_URID mapCallback(LV2_URID_Map_Handle handle, const char* uri) {
  return mapUri(*static_cast<Lv2World*>(handle), uri);
}

const char* unmapCallback(LV2_URID_Unmap_Handle handle, LV2_URID urid) {
  auto* world = static_cast<Lv2World*>(handle);
  std::lock_guard<std::mutex> lock(world->urids.lock);
  if (urid == 0 || urid > world->urids.uris.size()) return nullptr;
  return world->urids.uris[urid - 1].c_str();
}

int logVprintf(LV2_Log_Handle handle, LV2_URID type, const char* format, va_list args) {
  auto* world = static_cast<Lv2World*>(handle);
  char text[4096];
  const int length = std::vsnprintf(text, sizeof text, format, args);
  const char* typeUri = unmapCallback(world, type);
  std::lock_guard<std::mutex> lock(world->logLock);
  world->log.push_back({typeUri ? typeUri : "", text});
  return length;
}

int logPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = logVprintf(handle, type, format, args);
  va_end(args);
  return length;
}

// --- Worker ---

constexpr std::size_t requestRingBytes = 64 * 1024;

// The ring holds each request as its size and then its bytes.
void ringWrite(Lv2Instance& inst, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i)
    inst.requestRing[(inst.requestStart + inst.requestBytes + i) % requestRingBytes] = bytes[i];
  inst.requestBytes += size;
}

void ringRead(Lv2Instance& inst, void* data, std::size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = inst.requestRing[(inst.requestStart + i) % requestRingBytes];
  inst.requestStart = (inst.requestStart + size) % requestRingBytes;
  inst.requestBytes -= size;
}

LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
  auto* inst = static_cast<Lv2Instance*>(handle);
  {
    std::lock_guard<std::mutex> lock(inst->workerLock);
    if (inst->requestBytes + sizeof size + size > requestRingBytes) return LV2_WORKER_ERR_NO_SPACE;
    ringWrite(*inst, &size, sizeof size);
    ringWrite(*inst, data, size);
  }
  inst->workerWake.notify_all();
  return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
  auto* inst = static_cast<Lv2Instance*>(handle);
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> lock(inst->workerLock);
  inst->replies.emplace_back(bytes, bytes + size);
  return LV2_WORKER_SUCCESS;
}

void workerLoop(Lv2Instance* inst) {
  std::unique_lock<std::mutex> lock(inst->workerLock);
  for (;;) {
    inst->workerWake.wait(lock, [inst] { return inst->workerStop || inst->requestBytes > 0; });
    if (inst->requestBytes == 0) return;  // stopped with nothing left to do
    uint32_t size = 0;
    ringRead(*inst, &size, sizeof size);
    std::vector<uint8_t> request(size);
    ringRead(*inst, request.data(), size);
    inst->workerBusy = true;
    lock.unlock();
    inst->workerInterface->work(lilv_instance_get_handle(inst->instance), respond, inst,
                                static_cast<uint32_t>(request.size()), request.data());
    lock.lock();
    inst->workerBusy = false;
    inst->workerWake.notify_all();
  }
}

void deliverReplies(Lv2Instance& inst) {
  std::deque<std::vector<uint8_t>> replies;
  {
    std::lock_guard<std::mutex> lock(inst.workerLock);
    replies.swap(inst.replies);
  }
  for (const auto& reply : replies)
    inst.workerInterface->work_response(lilv_instance_get_handle(inst.instance),
                                        static_cast<uint32_t>(reply.size()), reply.data());
  if (inst.workerInterface->end_run)
    inst.workerInterface->end_run(lilv_instance_get_handle(inst.instance));
}

// --- Atoms ---

// Forges one object into a fresh buffer and queues it for the next run.
template <typename Body>
void queueObject(Lv2Instance& inst, uint32_t frame, const char* otype, Body body) {
  Lv2World& world = *inst.world;
  std::vector<uint64_t> buffer(512);
  LV2_Atom_Forge forge;
  lv2_atom_forge_init(&forge, &world.map);
  lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(buffer.data()),
                            buffer.size() * sizeof(uint64_t));
  LV2_Atom_Forge_Frame object;
  lv2_atom_forge_object(&forge, &object, 0, mapUri(world, otype));
  body(forge);
  lv2_atom_forge_pop(&forge, &object);
  const auto* atom = reinterpret_cast<const LV2_Atom*>(buffer.data());
  const auto* bytes = reinterpret_cast<const uint8_t*>(atom);
  inst.pending.push_back(
      {frame, std::vector<uint8_t>(bytes, bytes + sizeof(LV2_Atom) + atom->size)});
}

void readNotify(Lv2Instance& inst) {
  Lv2World& world = *inst.world;
  const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(inst.notifyBuffer.data());
  const LV2_URID set = mapUri(world, LV2_PATCH__Set);
  const LV2_URID propertyKey = mapUri(world, LV2_PATCH__property);
  const LV2_URID valueKey = mapUri(world, LV2_PATCH__value);
  const LV2_URID pathType = mapUri(world, LV2_ATOM__Path);
  const LV2_URID floatType = mapUri(world, LV2_ATOM__Float);
  const LV2_URID uridType = mapUri(world, LV2_ATOM__URID);
  LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
    const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
    if (object->body.otype != set) continue;
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(object, propertyKey, &property, valueKey, &value, 0);
    Notified n{inst.framesRun + event->time.frames, "", "", 0};
    if (property && property->type == uridType) {
      const char* uri =
          unmapCallback(&world, reinterpret_cast<const LV2_Atom_URID*>(property)->body);
      n.property = uri ? uri : "";
    }
    if (value && value->type == pathType)
      n.path =
          std::string(static_cast<const char*>(LV2_ATOM_BODY_CONST(value)),
                      strnlen(static_cast<const char*>(LV2_ATOM_BODY_CONST(value)), value->size));
    if (value && value->type == floatType)
      n.number = reinterpret_cast<const LV2_Atom_Float*>(value)->body;
    inst.notified.push_back(n);
  }
}

// Port values for lilv's state functions, by symbol.
const void* portValue(const char* symbol, void* userData, uint32_t* size, uint32_t* type) {
  auto* inst = static_cast<Lv2Instance*>(userData);
  LilvNode* node = lilv_new_string(inst->world->world, symbol);
  const LilvPort* port = lilv_plugin_get_port_by_symbol(inst->plugin, node);
  lilv_node_free(node);
  if (!port) return nullptr;
  LilvNode* controlClass = lilv_new_uri(inst->world->world, LV2_CORE__ControlPort);
  LilvNode* inputClass = lilv_new_uri(inst->world->world, LV2_CORE__InputPort);
  const bool isControlInput = lilv_port_is_a(inst->plugin, port, controlClass) &&
                              lilv_port_is_a(inst->plugin, port, inputClass);
  lilv_node_free(controlClass);
  lilv_node_free(inputClass);
  if (!isControlInput) return nullptr;
  *size = sizeof(float);
  *type = mapUri(*inst->world, LV2_ATOM__Float);
  return &inst->controls[lilv_port_get_index(inst->plugin, port)];
}

void setPortValue(const char* symbol, void* userData, const void* value, uint32_t size,
                  uint32_t type) {
  auto* inst = static_cast<Lv2Instance*>(userData);
  if (size != sizeof(float) || type != mapUri(*inst->world, LV2_ATOM__Float)) return;
  float number;
  std::memcpy(&number, value, sizeof number);
  setControl(*inst, symbol, number);
}

}  // namespace

LV2_URID mapUri(Lv2World& world, const char* uri) {
  std::lock_guard<std::mutex> lock(world.urids.lock);
  auto found = world.urids.ids.find(uri);
  if (found != world.urids.ids.end()) return found->second;
  world.urids.uris.push_back(uri);
  const auto id = static_cast<LV2_URID>(world.urids.uris.size());
  world.urids.ids.emplace(uri, id);
  return id;
}

bool worldOpen(Lv2World& world, const std::string& folder, std::string& error) {
  setenv("LV2_PATH", folder.c_str(), 1);
  world.world = lilv_world_new();
  lilv_world_load_all(world.world);
  world.map = {&world, mapCallback};
  world.unmap = {&world, unmapCallback};
  world.logFeature = {&world, logPrintf, logVprintf};
  if (lilv_plugins_size(lilv_world_get_all_plugins(world.world)) == 0) {
    error = "no plugin found in " + folder;
    return false;
  }
  return true;
}

void worldClose(Lv2World& world) {
  if (world.world) lilv_world_free(world.world);
  world.world = nullptr;
}

std::vector<LogLine> takeLog(Lv2World& world) {
  std::lock_guard<std::mutex> lock(world.logLock);
  std::vector<LogLine> lines;
  lines.swap(world.log);
  return lines;
}

bool instanceOpen(Lv2Instance& inst, Lv2World& world, const char* uri, double rate,
                  uint32_t maxBlock, std::string& error) {
  inst.world = &world;
  inst.rate = rate;
  inst.maxBlock = maxBlock;
  LilvNode* uriNode = lilv_new_uri(world.world, uri);
  inst.plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world.world), uriNode);
  lilv_node_free(uriNode);
  if (!inst.plugin) {
    error = std::string("no plugin ") + uri;
    return false;
  }
  inst.schedule = {&inst, scheduleWork};
  inst.requestRing.assign(requestRingBytes, 0);
  const LV2_Feature mapFeature = {LV2_URID__map, &world.map};
  const LV2_Feature unmapFeature = {LV2_URID__unmap, &world.unmap};
  const LV2_Feature logFeature = {LV2_LOG__log, &world.logFeature};
  const LV2_Feature scheduleFeature = {LV2_WORKER__schedule, &inst.schedule};
  const LV2_Feature* features[] = {&mapFeature, &unmapFeature, &logFeature, &scheduleFeature,
                                   nullptr};
  inst.instance = lilv_plugin_instantiate(inst.plugin, rate, features);
  if (!inst.instance) {
    error = "instantiation failed";
    return false;
  }
  inst.workerInterface = static_cast<const LV2_Worker_Interface*>(
      lilv_instance_get_extension_data(inst.instance, LV2_WORKER__interface));
  if (!inst.workerInterface) {
    error = "no worker interface";
    return false;
  }
  inst.workerThread = std::thread(workerLoop, &inst);

  LilvWorld* w = world.world;
  LilvNode* audio = lilv_new_uri(w, LV2_CORE__AudioPort);
  LilvNode* atom = lilv_new_uri(w, LV2_ATOM__AtomPort);
  LilvNode* input = lilv_new_uri(w, LV2_CORE__InputPort);
  const uint32_t ports = lilv_plugin_get_num_ports(inst.plugin);
  inst.controls.assign(ports, 0.0f);
  std::vector<float> defaults(ports, 0.0f);
  lilv_plugin_get_port_ranges_float(inst.plugin, nullptr, nullptr, defaults.data());
  inst.controlBuffer.assign(atomBufferBytes / sizeof(uint64_t), 0);
  inst.notifyBuffer.assign(atomBufferBytes / sizeof(uint64_t), 0);
  for (uint32_t i = 0; i < ports; ++i) {
    const LilvPort* port = lilv_plugin_get_port_by_index(inst.plugin, i);
    const bool isInput = lilv_port_is_a(inst.plugin, port, input);
    if (lilv_port_is_a(inst.plugin, port, audio)) {
      (isInput ? inst.audioIn : inst.audioOut).push_back(i);
    } else if (lilv_port_is_a(inst.plugin, port, atom)) {
      if (isInput) {
        inst.controlPort = i;
        lilv_instance_connect_port(inst.instance, i, controlSequence(inst));
      } else {
        inst.notifyPort = i;
        lilv_instance_connect_port(inst.instance, i, inst.notifyBuffer.data());
      }
    } else {
      inst.controls[i] = std::isnan(defaults[i]) ? 0.0f : defaults[i];
      lilv_instance_connect_port(inst.instance, i, &inst.controls[i]);
    }
  }
  lilv_node_free(audio);
  lilv_node_free(atom);
  lilv_node_free(input);
  inst.inBuffers.assign(inst.audioIn.size(), std::vector<float>(maxBlock));
  inst.outBuffers.assign(inst.audioOut.size(), std::vector<float>(maxBlock));
  for (std::size_t c = 0; c < inst.audioIn.size(); ++c)
    lilv_instance_connect_port(inst.instance, inst.audioIn[c], inst.inBuffers[c].data());
  for (std::size_t c = 0; c < inst.audioOut.size(); ++c)
    lilv_instance_connect_port(inst.instance, inst.audioOut[c], inst.outBuffers[c].data());
  lilv_instance_activate(inst.instance);
  return true;
}

void instanceClose(Lv2Instance& inst) {
  if (inst.workerThread.joinable()) {
    settleWorker(inst);
    {
      std::lock_guard<std::mutex> lock(inst.workerLock);
      inst.workerStop = true;
    }
    inst.workerWake.notify_all();
    inst.workerThread.join();
  }
  if (inst.instance) {
    lilv_instance_deactivate(inst.instance);
    // Freeing a melody the last reply handed back happens on the worker,
    // which has stopped: what is left is freed by the instance itself.
    lilv_instance_free(inst.instance);
  }
  inst.instance = nullptr;
}

void setControl(Lv2Instance& inst, const char* symbol, float value) {
  LilvNode* node = lilv_new_string(inst.world->world, symbol);
  const LilvPort* port = lilv_plugin_get_port_by_symbol(inst.plugin, node);
  lilv_node_free(node);
  if (port) inst.controls[lilv_port_get_index(inst.plugin, port)] = value;
}

float control(const Lv2Instance& inst, const char* symbol) {
  LilvNode* node = lilv_new_string(inst.world->world, symbol);
  const LilvPort* port = lilv_plugin_get_port_by_symbol(inst.plugin, node);
  lilv_node_free(node);
  return port ? inst.controls[lilv_port_get_index(inst.plugin, port)] : NAN;
}

void sendPosition(Lv2Instance& inst, uint32_t frame, long long hostFrame, float speed) {
  Lv2World& world = *inst.world;
  queueObject(inst, frame, LV2_TIME__Position, [&](LV2_Atom_Forge& forge) {
    lv2_atom_forge_key(&forge, mapUri(world, LV2_TIME__frame));
    lv2_atom_forge_long(&forge, hostFrame);
    lv2_atom_forge_key(&forge, mapUri(world, LV2_TIME__speed));
    lv2_atom_forge_float(&forge, speed);
  });
}

void sendMelody(Lv2Instance& inst, uint32_t frame, const std::string& path) {
  Lv2World& world = *inst.world;
  queueObject(inst, frame, LV2_PATCH__Set, [&](LV2_Atom_Forge& forge) {
    lv2_atom_forge_key(&forge, mapUri(world, LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, mapUri(world, "urn:glidewarper:melody"));
    lv2_atom_forge_key(&forge, mapUri(world, LV2_PATCH__value));
    lv2_atom_forge_path(&forge, path.c_str(), static_cast<uint32_t>(path.size()));
  });
}

void sendGet(Lv2Instance& inst, uint32_t frame, const char* property) {
  Lv2World& world = *inst.world;
  queueObject(inst, frame, LV2_PATCH__Get, [&](LV2_Atom_Forge& forge) {
    if (!property) return;
    lv2_atom_forge_key(&forge, mapUri(world, LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, mapUri(world, property));
  });
}

void runBlock(Lv2Instance& inst, const float* const* in, float* const* out, uint32_t frames) {
  Lv2World& world = *inst.world;
  // The control sequence: the queued events in frame order.
  std::stable_sort(inst.pending.begin(), inst.pending.end(),
                   [](const auto& a, const auto& b) { return a.frame < b.frame; });
  LV2_Atom_Forge forge;
  lv2_atom_forge_init(&forge, &world.map);
  lv2_atom_forge_set_buffer(&forge, controlSequence(inst), atomBufferBytes - controlMisalignment);
  LV2_Atom_Forge_Frame sequence;
  lv2_atom_forge_sequence_head(&forge, &sequence, 0);
  for (const auto& event : inst.pending) {
    lv2_atom_forge_frame_time(&forge, event.frame);
    lv2_atom_forge_write(&forge, event.atom.data(), static_cast<uint32_t>(event.atom.size()));
  }
  lv2_atom_forge_pop(&forge, &sequence);
  inst.pending.clear();
  // The notify buffer offers its whole capacity.
  auto* notify = reinterpret_cast<LV2_Atom_Sequence*>(inst.notifyBuffer.data());
  notify->atom.type = 0;
  notify->atom.size = atomBufferBytes - sizeof(LV2_Atom);

  for (std::size_t c = 0; frames > 0 && c < inst.inBuffers.size(); ++c)
    std::memcpy(inst.inBuffers[c].data(), in[c], frames * sizeof(float));
  if (inst.beforeRun) inst.beforeRun();
  lilv_instance_run(inst.instance, frames);
  if (inst.afterRun) inst.afterRun();
  for (std::size_t c = 0; frames > 0 && c < inst.outBuffers.size(); ++c)
    std::memcpy(out[c], inst.outBuffers[c].data(), frames * sizeof(float));
  readNotify(inst);
  inst.framesRun += frames;
  deliverReplies(inst);
}

void settleWorker(Lv2Instance& inst) {
  {
    std::unique_lock<std::mutex> lock(inst.workerLock);
    inst.workerWake.wait(lock, [&] { return inst.requestBytes == 0 && !inst.workerBusy; });
  }
  deliverReplies(inst);
}

bool saveState(Lv2Instance& inst, const std::string& folder) {
  Lv2World& world = *inst.world;
  LilvState* state = lilv_state_new_from_instance(
      inst.plugin, inst.instance, &world.map, nullptr, folder.c_str(), folder.c_str(),
      folder.c_str(), portValue, &inst, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr);
  if (!state) return false;
  const int result = lilv_state_save(world.world, &world.map, &world.unmap, state, nullptr,
                                     folder.c_str(), "state.ttl");
  lilv_state_free(state);
  return result == 0;
}

bool restoreState(Lv2Instance& inst, const std::string& folder, bool restoreWorker) {
  Lv2World& world = *inst.world;
  const std::string file = folder + "/state.ttl";
  LilvState* state = lilv_state_new_from_file(world.world, &world.map, nullptr, file.c_str());
  if (!state) return false;
  const LV2_Feature scheduleFeature = {LV2_WORKER__schedule, &inst.schedule};
  const LV2_Feature* features[] = {&scheduleFeature, nullptr};
  lilv_state_restore(state, inst.instance, setPortValue, &inst, 0,
                     restoreWorker ? features : nullptr);
  lilv_state_free(state);
  return true;
}
