// lumora-updater-probe: the reachability probe of the updater, run for a
// user who may not open raw sockets. It is the only installed file with
// cap_net_raw, so it takes no arguments, reads no environment and no file of
// the user's, probes only the server compiled into it, and answers only with
// its exit status: 0 reachable, 1 not reachable, 2 called with arguments.
#include <stdlib.h>

#include "net/probe.h"

int main(int argc, char**)
{
    clearenv();  // nothing the caller set may steer the name lookup
    if (argc > 1)
        return 2;
    return lm_probe::server_reachable(LUMORA_SERVER_HOST) == 0 ? 0 : 1;
}
