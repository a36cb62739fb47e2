// Repeating GLib timeouts kept under caller-chosen numeric ids.
#include "ui/utils.h"

#include <stdlib.h>

namespace {

// First registration for timer_id, skipping empty slots; null when none.
CMyTimer::_ID_STRU* find_record(GPtrArray* array, u_int32_t timer_id)
{
    if (array == nullptr) {
        return nullptr;
    }
    for (guint i = 0; i < array->len; ++i) {
        auto* rec = static_cast<CMyTimer::_ID_STRU*>(g_ptr_array_index(array, i));
        if (rec != nullptr && rec->timer_id == timer_id) {
            return rec;
        }
    }
    return nullptr;
}

} // namespace

CMyTimer::CMyTimer() : m_pArray(g_ptr_array_new()) {}

CMyTimer::~CMyTimer()
{
    if (m_pArray == nullptr) {
        return;
    }
    for (guint i = 0; i < m_pArray->len; ++i) {
        auto* rec = static_cast<_ID_STRU*>(g_ptr_array_index(m_pArray, i));
        if (rec == nullptr) {
            continue;
        }
        if (rec->sys_id != 0) {
            g_source_remove(rec->sys_id);
        }
        free(rec);
    }
    g_ptr_array_free(m_pArray, TRUE);
    m_pArray = nullptr;
}

void CMyTimer::SetTimer(u_int32_t timer_id, u_int32_t elapseTime)
{
    if (m_pArray == nullptr) {
        return;
    }
    _ID_STRU* rec = find_record(m_pArray, timer_id);
    if (rec != nullptr && rec->sys_id != 0) {
        return; // already running: the old period stays
    }
    if (rec == nullptr) {
        rec = static_cast<_ID_STRU*>(calloc(1, sizeof(_ID_STRU)));
        if (rec == nullptr) {
            return; // out of memory: the timer simply stays unarmed
        }
        rec->timer_id = timer_id;
        rec->pThis = this;
        g_ptr_array_add(m_pArray, rec);
    }
    rec->sys_id = g_timeout_add(elapseTime, TimerCallBackProc, rec);
}

void CMyTimer::KillTimer(u_int32_t timer_id)
{
    _ID_STRU* rec = find_record(m_pArray, timer_id);
    if (rec == nullptr) {
        return;
    }
    if (rec->sys_id != 0) {
        g_source_remove(rec->sys_id);
    }
    rec->sys_id = 0;
}

void CMyTimer::OnTimer(u_int32_t) {}

gboolean CMyTimer::TimerCallBackProc(gpointer data)
{
    if (data == nullptr) {
        return FALSE;
    }
    auto* rec = static_cast<_ID_STRU*>(data);
    rec->pThis->OnTimer(rec->timer_id);
    // A source removed by KillTimer during OnTimer stays removed whatever
    // is returned here; a live one keeps firing.
    return TRUE;
}
