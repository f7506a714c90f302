// gw_transport: moves the JACK transport, as a host's transport bar would.
//
//   gw_transport start | stop | locate FRAME
//
// Exits 0 once the request is made, 1 without a server.
#include <jack/jack.h>
#include <jack/transport.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const bool locate = argc == 3 && std::strcmp(argv[1], "locate") == 0;
  if (!(argc == 2 && (std::strcmp(argv[1], "start") == 0 || std::strcmp(argv[1], "stop") == 0)) &&
      !locate) {
    std::fprintf(stderr, "usage: gw_transport start | stop | locate FRAME\n");
    return 2;
  }
  jack_status_t status;
  jack_client_t* client = jack_client_open("gwtransport", JackNoStartServer, &status);
  if (!client) {
    std::fprintf(stderr, "gw_transport: no JACK server (status 0x%x)\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  int result = 0;
  if (locate)
    result = jack_transport_locate(client, static_cast<jack_nframes_t>(std::atol(argv[2])));
  else if (argv[1][2] == 'a')
    jack_transport_start(client);
  else
    jack_transport_stop(client);
  jack_client_close(client);
  return result == 0 ? 0 : 1;
}
