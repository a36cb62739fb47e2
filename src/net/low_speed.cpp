#include "net/low_speed.h"

#include "net/clock.h"

namespace lm_net {

low_speed_watch::low_speed_watch(long min_bytes, int window_ms) : m_min(min_bytes), m_window(window_ms)
{
    m_recent.push_back(sample{monotonic_ms(), 0});
}

void low_speed_watch::arrived(long n)
{
    if (n <= 0)
        return;
    m_total += n;
    m_recent.push_back(sample{monotonic_ms(), m_total});
    // A sample at or below m_total - m_min lies before the last m_min bytes
    // began: a window that holds it and ends later holds them all.
    while (m_recent.front().total <= m_total - m_min)
        m_recent.pop_front();
}

// The window (now - window, now] holds at least min_bytes exactly while it
// starts before the first sample that the last min_bytes arrived in.
int low_speed_watch::left_ms() const
{
    long long left = m_recent.front().at_ms + m_window - monotonic_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace lm_net
