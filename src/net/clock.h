// Monotonic milliseconds for deadlines that wall-clock changes cannot move.
#ifndef LUMORA_NET_CLOCK_H
#define LUMORA_NET_CLOCK_H

namespace lm_net {

long long monotonic_ms();

}  // namespace lm_net

#endif
