// The low-speed limit of a fetch, as curl's: a transfer that brings fewer
// than a minimum number of bytes over any window of the given length is too
// slow to finish, however long the server keeps it alive.
#ifndef LUMORA_NET_LOW_SPEED_H
#define LUMORA_NET_LOW_SPEED_H

#include <deque>

namespace lm_net {

class low_speed_watch {
public:
    // The window starts now: min_bytes must arrive within window_ms.
    low_speed_watch(long min_bytes, int window_ms);

    // n bytes arrived now.
    void arrived(long n);
    // Milliseconds until the window that ends then would hold fewer than
    // min_bytes; 0 when that is already so.
    int left_ms() const;

private:
    struct sample {
        long long at_ms;
        long long total;  // bytes arrived up to and including this sample
    };
    long m_min;
    int m_window;
    long long m_total = 0;
    // The samples that may still be in a window with min_bytes: those whose
    // total exceeds m_total - m_min, at most m_min of them (each adds at
    // least one byte), plus the start while fewer than m_min arrived.
    std::deque<sample> m_recent;
};

}  // namespace lm_net

#endif
