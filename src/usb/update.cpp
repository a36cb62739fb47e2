// Placeholder until the device side lands.
#include "usb/update.h"
lm_update::lm_update() : m_pDis(nullptr), m_pTrans(nullptr) {}
lm_update::~lm_update() {}
int lm_update::get_device_connect_status() { return -1; }
int lm_update::get_lumora_buffer_size() { return -1; }
int lm_update::write_flash(u_int32_t, u_char*, int size) { return size == 0 ? 2 : -1; }
float lm_update::get_progress() { return 0.0f; }
int lm_update::open_dev() { return -1; }
