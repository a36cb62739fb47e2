// Stands in for the device library in the network tests: no reader, a
// variant chosen by the test.
#include "tests/net/fake_update.h"

#include <atomic>

#include "usb/update.h"

namespace {
std::atomic<int> g_variant{64};
}

void fake_update_set_variant(int variant)
{
    g_variant.store(variant);
}

lm_update::lm_update() : m_pDis(nullptr), m_pTrans(nullptr) {}
lm_update::~lm_update() {}
int lm_update::get_device_connect_status() { return 0; }
int lm_update::get_lumora_buffer_size() { return g_variant.load(); }
int lm_update::write_flash(u_int32_t, u_char*, int) { return -1; }
float lm_update::get_progress() { return 0.0f; }
int lm_update::open_dev() { return -1; }
