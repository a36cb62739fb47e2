// CMyTimer: one record per id, arming rules, kill/act/re-arm, teardown.
#include <gtest/gtest.h>

#include <vector>

#include "ui/utils.h"

namespace {

class ProbeTimer : public CMyTimer {
public:
    guint records() const { return m_pArray->len; }
    const _ID_STRU* record(guint i) const { return static_cast<const _ID_STRU*>(g_ptr_array_index(m_pArray, i)); }
    const _ID_STRU* find(u_int32_t id) const
    {
        for (guint i = 0; i < m_pArray->len; ++i) {
            if (record(i)->timer_id == id) {
                return record(i);
            }
        }
        return nullptr;
    }
    static gboolean dispatch(gpointer data) { return TimerCallBackProc(data); }

    void OnTimer(u_int32_t timer_id) override
    {
        ++ticks;
        last_id = timer_id;
        if (!kill_act_rearm) {
            return;
        }
        // The wizard's pattern: off during the action, armed again after it.
        fired_sources.push_back(find(timer_id)->sys_id);
        KillTimer(timer_id);
        EXPECT_FALSE(in_action) << "two actions overlapped";
        in_action = true;
        g_usleep(30 * 1000); // an action longer than the period
        in_action = false;
        SetTimer(timer_id, 10);
    }

    int ticks = 0;
    u_int32_t last_id = 0;
    bool kill_act_rearm = false;
    bool in_action = false;
    std::vector<u_int32_t> fired_sources;
};

bool source_exists(u_int32_t id)
{
    return id != 0 && g_main_context_find_source_by_id(nullptr, id) != nullptr;
}

// Runs the default main context until pred holds or about 10 s have passed.
template <typename Pred> bool iterate_until(Pred pred)
{
    gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (!pred() && g_get_monotonic_time() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
    }
    return pred();
}

TEST(Timer, ArmingAnArmedIdKeepsItsSourceAndPeriod)
{
    ProbeTimer t;
    t.SetTimer(200, 100);
    ASSERT_EQ(t.records(), 1u);
    u_int32_t source = t.find(200)->sys_id;
    ASSERT_TRUE(source_exists(source));

    t.SetTimer(200, 5);
    EXPECT_EQ(t.records(), 1u);
    EXPECT_EQ(t.find(200)->sys_id, source);
    EXPECT_EQ(t.find(200)->pThis, &t);

    // A 5 ms period would fire several times in 40 ms; the kept 100 ms one cannot.
    gint64 until = g_get_monotonic_time() + 40 * 1000;
    while (g_get_monotonic_time() < until) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
    EXPECT_EQ(t.ticks, 0);
}

TEST(Timer, KillingUnknownOrDisarmedIdChangesNothing)
{
    ProbeTimer t;
    t.KillTimer(7); // never armed
    EXPECT_EQ(t.records(), 0u);

    t.SetTimer(200, 100);
    u_int32_t source = t.find(200)->sys_id;
    t.KillTimer(201);
    EXPECT_EQ(t.records(), 1u);
    EXPECT_EQ(t.find(200)->sys_id, source);
    EXPECT_TRUE(source_exists(source));

    t.KillTimer(200);
    EXPECT_EQ(t.find(200)->sys_id, 0u);
    EXPECT_FALSE(source_exists(source));
    t.KillTimer(200); // already disarmed: still one record, nothing removed
    EXPECT_EQ(t.records(), 1u);
    EXPECT_EQ(t.find(200)->sys_id, 0u);
}

TEST(Timer, OneRecordPerIdInFirstArmedOrder)
{
    ProbeTimer t;
    for (int i = 0; i < 5; ++i) {
        t.SetTimer(200, 100);
        t.KillTimer(200);
    }
    t.SetTimer(300, 50);
    t.SetTimer(200, 100);
    t.SetTimer(300, 50);
    ASSERT_EQ(t.records(), 2u);
    EXPECT_EQ(t.record(0)->timer_id, 200u);
    EXPECT_EQ(t.record(1)->timer_id, 300u);
    EXPECT_NE(t.record(0)->sys_id, 0u);
    EXPECT_NE(t.record(1)->sys_id, t.record(0)->sys_id);
}

TEST(Timer, ExpiryReachesDerivedHandlerWithItsId)
{
    ProbeTimer t;
    t.SetTimer(42, 5);
    ASSERT_TRUE(iterate_until([&] { return t.ticks >= 2; }));
    EXPECT_EQ(t.last_id, 42u);
    EXPECT_NE(t.find(42)->sys_id, 0u); // still armed after firing
    EXPECT_FALSE(ProbeTimer::dispatch(nullptr));
}

TEST(Timer, KillActRearmUsesAFreshSourceEachTime)
{
    ProbeTimer t;
    t.kill_act_rearm = true;
    t.SetTimer(200, 10);
    u_int32_t first = t.find(200)->sys_id;
    ASSERT_TRUE(iterate_until([&] { return t.ticks >= 3; }));
    t.KillTimer(200);

    EXPECT_EQ(t.records(), 1u);
    ASSERT_GE(t.fired_sources.size(), 3u);
    EXPECT_EQ(t.fired_sources[0], first);
    for (size_t i = 0; i < t.fired_sources.size(); ++i) {
        // A source killed inside its own dispatch stays dead despite TRUE,
        // and every re-arm made a new one.
        EXPECT_FALSE(source_exists(t.fired_sources[i]));
        for (size_t j = i + 1; j < t.fired_sources.size(); ++j) {
            EXPECT_NE(t.fired_sources[i], t.fired_sources[j]);
        }
    }
}

TEST(Timer, DestructionRemovesLiveSources)
{
    auto* t = new ProbeTimer();
    t->SetTimer(200, 5);
    t->SetTimer(201, 5);
    t->KillTimer(201);
    u_int32_t live = t->find(200)->sys_id;
    ASSERT_TRUE(source_exists(live));
    delete t;
    EXPECT_FALSE(source_exists(live));
    // Nothing may fire into the deleted object (ASan would report it).
    gint64 until = g_get_monotonic_time() + 30 * 1000;
    while (g_get_monotonic_time() < until) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
}

} // namespace
