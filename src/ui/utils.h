// Repeating GLib timeouts kept under caller-chosen numeric ids.
#ifndef LUMORA_UI_UTILS_H
#define LUMORA_UI_UTILS_H

#include <glib.h>
#include <sys/types.h>

class CMyTimer {
public:
    // One registration per timer id; sys_id is 0 while the timer is disarmed.
    struct _ID_STRU {
        u_int32_t timer_id;
        u_int32_t sys_id;
        CMyTimer* pThis;
    };

    CMyTimer();
    virtual ~CMyTimer();
    virtual void KillTimer(u_int32_t timer_id);
    virtual void SetTimer(u_int32_t timer_id, u_int32_t elapseTime);
    virtual void OnTimer(u_int32_t timer_id);

protected:
    GPtrArray* m_pArray;
    static gboolean TimerCallBackProc(gpointer data);
};

#endif
