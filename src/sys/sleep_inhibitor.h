// Keeps the computer from sleeping, shutting down or idling while the
// reader's flash may be written: a logind "block" inhibitor, asked for
// without waiting on the system bus and held as a descriptor.
#ifndef LUMORA_SYS_SLEEP_INHIBITOR_H
#define LUMORA_SYS_SLEEP_INHIBITOR_H

struct lm_inhibit_request;

class lm_sleep_inhibitor {
public:
    lm_sleep_inhibitor();
    ~lm_sleep_inhibitor();
    lm_sleep_inhibitor(const lm_sleep_inhibitor&) = delete;
    lm_sleep_inhibitor& operator=(const lm_sleep_inhibitor&) = delete;

    // Asks logind for the inhibitor unless it is held or asked for. The
    // answer comes through the main loop; without a system bus or logind
    // the update goes on without it, with one line on standard error.
    void hold();
    // Gives the inhibitor back at once; one still on its way is given back
    // when it arrives.
    void release();
    bool held() const { return m_fd >= 0; }
    // The request's answer: the inhibitor's descriptor, or -1 for none.
    void answered(int fd);

private:

    int m_fd;
    lm_inhibit_request* m_pending;
};

#endif
