// gw_record: records what other JACK clients play into a WAV file of 32-bit
// floats, one channel per source port.
//
//   gw_record [--name NAME] [--from REGEX] OUT.wav
//
// It waits until output ports matching REGEX (by default the ports of a
// PortAudio stream) exist and their number has settled, and only then
// registers its own ports, so that it never shows up as an audio device while
// a program is still listing devices. A PortAudio stream drops every
// connection of its ports when it stops, so lost connections are made again
// within a few milliseconds. Prints "connected N" once recording, and
// "recorded F frames" when it ends on SIGTERM or SIGINT.
#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <signal.h>
#include <sndfile.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int maxPorts = 8;

struct Recorder {
  jack_client_t* client = nullptr;
  jack_port_t* ports[maxPorts] = {};
  std::atomic<int> portCount{0};  // set once all ports are registered
  jack_ringbuffer_t* ring = nullptr;
  std::atomic<long> droppedFrames{0};
};

Recorder rec;
std::atomic<bool> serverGone{false};

int process(jack_nframes_t frames, void*) {
  const int n = rec.portCount.load(std::memory_order_acquire);
  if (n == 0) return 0;
  const float* in[maxPorts];
  for (int p = 0; p < n; ++p)
    in[p] = static_cast<const float*>(jack_port_get_buffer(rec.ports[p], frames));
  const size_t frameBytes = sizeof(float) * n;
  if (jack_ringbuffer_write_space(rec.ring) < frames * frameBytes) {
    rec.droppedFrames += frames;
    return 0;
  }
  float frame[maxPorts];
  for (jack_nframes_t i = 0; i < frames; ++i) {
    for (int p = 0; p < n; ++p) frame[p] = in[p][i];
    jack_ringbuffer_write(rec.ring, reinterpret_cast<const char*>(frame), frameBytes);
  }
  return 0;
}

void shutdown(void*) {
  serverGone = true;
}

void reconnect(const std::vector<std::string>& sources, int channels) {
  for (int p = 0; p < channels; ++p) {
    const char* source = sources[p].c_str();
    if (jack_port_connected_to(rec.ports[p], source)) continue;
    if (jack_port_by_name(rec.client, source))
      jack_connect(rec.client, source, jack_port_name(rec.ports[p]));
  }
}

std::vector<std::string> sourcePorts(const char* pattern) {
  std::vector<std::string> names;
  const char** found =
      jack_get_ports(rec.client, pattern, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
  if (!found) return names;
  for (const char** p = found; *p; ++p) names.push_back(*p);
  jack_free(found);
  return names;
}

long drain(SNDFILE* file, int channels) {
  const size_t frameBytes = sizeof(float) * channels;
  float buffer[4096 * maxPorts];
  long written = 0;
  for (;;) {
    size_t frames = jack_ringbuffer_read_space(rec.ring) / frameBytes;
    if (frames == 0) return written;
    if (frames > 4096) frames = 4096;
    jack_ringbuffer_read(rec.ring, reinterpret_cast<char*>(buffer), frames * frameBytes);
    written += sf_writef_float(file, buffer, static_cast<sf_count_t>(frames));
  }
}

int usage() {
  std::fprintf(stderr, "usage: gw_record [--name NAME] [--from REGEX] OUT.wav\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = "gwrecord";
  std::string pattern = "^PortAudio[^:]*:out_";
  std::string outPath;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--name" && i + 1 < argc) {
      name = argv[++i];
    } else if (arg == "--from" && i + 1 < argc) {
      pattern = argv[++i];
    } else if (outPath.empty() && !arg.empty() && arg[0] != '-') {
      outPath = arg;
    } else {
      return usage();
    }
  }
  if (outPath.empty()) return usage();

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  jack_status_t status;
  rec.client = jack_client_open(name.c_str(), JackNoStartServer, &status);
  if (!rec.client) {
    std::fprintf(stderr, "gw_record: no JACK server (status 0x%x)\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  const int sampleRate = static_cast<int>(jack_get_sample_rate(rec.client));
  // Ten seconds of eight channels: the main loop drains it every 5 ms.
  rec.ring = jack_ringbuffer_create(sizeof(float) * maxPorts * sampleRate * 10);
  jack_set_process_callback(rec.client, process, nullptr);
  jack_on_shutdown(rec.client, shutdown, nullptr);
  if (jack_activate(rec.client) != 0) {
    std::fprintf(stderr, "gw_record: cannot activate\n");
    return 1;
  }

  SNDFILE* file = nullptr;
  int channels = 0;
  size_t lastCount = 0;
  int stablePolls = 0;
  long frames = 0;
  std::vector<std::string> sources;
  const timespec poll = {0, 5 * 1000 * 1000};
  while (!serverGone) {
    if (sigtimedwait(&stopSignals, nullptr, &poll) > 0) break;
    if (file) {
      reconnect(sources, channels);
      frames += drain(file, channels);
      continue;
    }
    sources = sourcePorts(pattern.c_str());
    stablePolls = (!sources.empty() && sources.size() == lastCount) ? stablePolls + 1 : 0;
    lastCount = sources.size();
    if (stablePolls < 20) continue;  // 100 ms without a new port

    channels = static_cast<int>(sources.size() < maxPorts ? sources.size() : maxPorts);
    SF_INFO info = {};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file = sf_open(outPath.c_str(), SFM_WRITE, &info);
    if (!file) {
      std::fprintf(stderr, "gw_record: cannot write %s: %s\n", outPath.c_str(),
                   sf_strerror(nullptr));
      jack_client_close(rec.client);
      return 1;
    }
    for (int p = 0; p < channels; ++p) {
      std::string portName = "in_" + std::to_string(p + 1);
      rec.ports[p] = jack_port_register(rec.client, portName.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsInput, 0);
      if (!rec.ports[p] ||
          jack_connect(rec.client, sources[p].c_str(), jack_port_name(rec.ports[p])) != 0) {
        std::fprintf(stderr, "gw_record: cannot connect %s\n", sources[p].c_str());
        sf_close(file);
        jack_client_close(rec.client);
        return 1;
      }
    }
    rec.portCount.store(channels, std::memory_order_release);
    std::printf("connected %d\n", channels);
    std::fflush(stdout);
  }
  if (!serverGone) jack_client_close(rec.client);
  if (file) {
    frames += drain(file, channels);
    sf_close(file);
  }
  std::printf("recorded %ld frames\n", frames);
  if (rec.droppedFrames > 0) std::printf("dropped %ld frames\n", rec.droppedFrames.load());
  std::fflush(stdout);
  jack_ringbuffer_free(rec.ring);
  return 0;
}
