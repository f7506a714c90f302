// gw_tone: a JACK client that plays one sine tone per output port, so that a
// machine without a sound card still has a live input device to bend.
//
//   gw_tone [--name NAME] [--amplitude A] [--no-latency] FREQ [FREQ ...]
//
// --no-latency reports no capture latency, as another program's ports (a
// synthesizer, say) do, instead of the period a line input would have.
//
// Prints "ready" once its ports exist and it is running; ends on SIGTERM or
// SIGINT, or when the server goes away.
#include <jack/jack.h>
#include <signal.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int maxPorts = 8;

struct ToneClient {
  jack_client_t* client = nullptr;
  int portCount = 0;
  jack_port_t* ports[maxPorts] = {};
  double frequency[maxPorts] = {};
  double phase[maxPorts] = {};  // in cycles, kept within [0, 1)
  double amplitude = 0.5;
  double sampleRate = 44100;
  bool noLatency = false;
};

ToneClient tone;
std::atomic<bool> serverGone{false};

int process(jack_nframes_t frames, void*) {
  for (int p = 0; p < tone.portCount; ++p) {
    auto* out = static_cast<float*>(jack_port_get_buffer(tone.ports[p], frames));
    const double step = tone.frequency[p] / tone.sampleRate;
    double ph = tone.phase[p];
    for (jack_nframes_t i = 0; i < frames; ++i) {
      out[i] = static_cast<float>(tone.amplitude * std::sin(2.0 * M_PI * ph));
      ph += step;
      if (ph >= 1.0) ph -= 1.0;
    }
    tone.phase[p] = ph;
  }
  return 0;
}

// The tone stands in for a line input, so it reports the capture latency that
// a hardware input of this server would have: one period.
void latency(jack_latency_callback_mode_t mode, void*) {
  if (mode != JackCaptureLatency) return;
  jack_nframes_t period = tone.noLatency ? 0 : jack_get_buffer_size(tone.client);
  jack_latency_range_t range = {period, period};
  for (int p = 0; p < tone.portCount; ++p) jack_port_set_latency_range(tone.ports[p], mode, &range);
}

void shutdown(void*) {
  serverGone = true;
}

int usage() {
  std::fprintf(stderr,
               "usage: gw_tone [--name NAME] [--amplitude A] [--no-latency] FREQ [FREQ ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = "gwtone";
  std::vector<double> freqs;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--name" && i + 1 < argc) {
      name = argv[++i];
    } else if (arg == "--amplitude" && i + 1 < argc) {
      tone.amplitude = std::atof(argv[++i]);
    } else if (arg == "--no-latency") {
      tone.noLatency = true;
    } else if (!arg.empty() && arg[0] != '-') {
      double f = std::atof(arg.c_str());
      if (f <= 0) return usage();
      freqs.push_back(f);
    } else {
      return usage();
    }
  }
  if (freqs.empty() || freqs.size() > maxPorts) return usage();

  // Block the stop signals before libjack starts its threads, so that only
  // the main loop below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  jack_status_t status;
  tone.client = jack_client_open(name.c_str(), JackNoStartServer, &status);
  if (!tone.client) {
    std::fprintf(stderr, "gw_tone: no JACK server (status 0x%x)\n", static_cast<unsigned>(status));
    return 1;
  }
  tone.sampleRate = jack_get_sample_rate(tone.client);
  tone.portCount = static_cast<int>(freqs.size());
  for (int p = 0; p < tone.portCount; ++p) {
    tone.frequency[p] = freqs[p];
    std::string portName = "out_" + std::to_string(p + 1);
    tone.ports[p] =
        jack_port_register(tone.client, portName.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                           JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal, 0);
    if (!tone.ports[p]) {
      std::fprintf(stderr, "gw_tone: cannot register %s\n", portName.c_str());
      jack_client_close(tone.client);
      return 1;
    }
  }
  jack_set_process_callback(tone.client, process, nullptr);
  jack_set_latency_callback(tone.client, latency, nullptr);
  jack_on_shutdown(tone.client, shutdown, nullptr);
  if (jack_activate(tone.client) != 0) {
    std::fprintf(stderr, "gw_tone: cannot activate\n");
    jack_client_close(tone.client);
    return 1;
  }
  jack_recompute_total_latencies(tone.client);
  std::printf("ready\n");
  std::fflush(stdout);

  const timespec poll = {0, 100 * 1000 * 1000};
  while (!serverGone) {
    if (sigtimedwait(&stopSignals, nullptr, &poll) > 0) break;
  }
  if (!serverGone) jack_client_close(tone.client);
  return serverGone ? 1 : 0;
}
