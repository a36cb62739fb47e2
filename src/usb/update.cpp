#include "usb/update.h"

#include "usb/discovery.h"
#include "usb/transfer.h"

lm_update::lm_update() : m_pDis(nullptr), m_pTrans(nullptr)
{
    m_pTrans = new lm_transfer();
    m_pDis = new lm_discovery();
}

lm_update::~lm_update()
{
    delete m_pDis;
    delete m_pTrans;
}

int lm_update::get_device_connect_status()
{
    return m_pDis ? m_pDis->get_device_connect_status() : -1;
}

int lm_update::open_dev()
{
    if (!m_pDis || !m_pTrans)
        return -1;
    const char* root = m_pDis->get_usb_path_result();
    if (!root)
        return -1;
    int bus = 0, device = 0;
    if (m_pDis->get_dev_number_result(&bus, &device) != 0)
        return -1;
    return m_pTrans->open_lumora_dev(root, bus, device);
}

int lm_update::get_lumora_buffer_size()
{
    if (open_dev() != 0)
        return -1;
    int variant = m_pTrans->get_lumora_buffer_size(m_pDis->get_iproduct());
    m_pTrans->close_lumora_dev();
    return variant;
}

int lm_update::write_flash(u_int32_t addrs, u_char* buf, int size)
{
    if (size == 0)
        return 2;
    // A negative size is no block at all: nothing is opened or sent.
    if (size < 0 || !buf)
        return -1;
    if (open_dev() != 0)
        return -1;
    int rc = -1;
    if (m_pTrans->claim_ctrl_interface() == 0)
        rc = m_pTrans->write_flash(addrs, buf, size);
    m_pTrans->close_lumora_dev();
    return rc;
}

float lm_update::get_progress()
{
    return m_pTrans ? m_pTrans->get_progress() : 0.0f;
}
