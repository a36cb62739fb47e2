#include "usb/update.h"

#include "usb/discovery.h"
#include "usb/transfer.h"

lm_update::lm_update() : m_pDis(nullptr), m_pTrans(nullptr), m_nLastSent(0)
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
    return open_matched(nullptr);
}

int lm_update::open_matched(uint8_t* iproduct)
{
    if (!m_pDis || !m_pTrans)
        return -1;
    // Root and match in one read: the other thread may rediscover at any time.
    char node[LM_PATH_MAX];
    if (m_pDis->get_node_path_result(node, iproduct) != 0)
        return -1;
    return m_pTrans->open_node(node);
}

std::recursive_mutex& lm_update::reader_lock()
{
    // Never destroyed: a check thread left running at exit may still hold it.
    static std::recursive_mutex* lock = new std::recursive_mutex();
    return *lock;
}

int lm_update::get_lumora_buffer_size()
{
    std::lock_guard<std::recursive_mutex> reader(reader_lock());
    uint8_t iproduct = 0;
    if (open_matched(&iproduct) != 0)
        return -1;
    int variant = m_pTrans->get_lumora_buffer_size(iproduct);
    m_pTrans->close_lumora_dev();
    return variant;
}

int lm_update::write_flash(u_int32_t addrs, u_char* buf, int size)
{
    m_nLastSent = 0;
    if (size == 0)
        return 2;
    // A negative size is no block at all: nothing is opened or sent.
    if (size < 0 || !buf)
        return -1;
    std::lock_guard<std::recursive_mutex> reader(reader_lock());
    if (open_dev() != 0)
        return -1;
    int rc = -1;
    // The progress counts what the reader took of this frame, from 0.
    m_pTrans->m_fProgress.store(0.0f, std::memory_order_relaxed);
    if (m_pTrans->claim_ctrl_interface() == 0) {
        rc = m_pTrans->write_flash(addrs, buf, size);
        m_nLastSent = m_pTrans->get_progress() > 0.0f ? 1 : 0;
    }
    m_pTrans->close_lumora_dev();
    return rc;
}

int lm_update::get_device_address()
{
    int bus = 0;
    int dev = 0;
    if (!m_pDis || m_pDis->get_dev_number_result(&bus, &dev) != 0)
        return -1;
    return bus * 256 + dev;
}

void lm_update::follow_reader(const std::string& port, const std::string& serial)
{
    if (m_pDis)
        m_pDis->set_followed(port.c_str(), serial.c_str());
}

int lm_update::get_reader_identity(std::string* port, std::string* serial)
{
    char p[LM_PORT_MAX + 1];
    char s[LM_SERIAL_MAX + 1];
    if (!m_pDis || m_pDis->get_match_identity(p, s) != 0)
        return -1;
    if (port)
        *port = p;
    if (serial)
        *serial = s;
    return 0;
}

int lm_update::readers_attached()
{
    return m_pDis ? m_pDis->readers_listed() : 0;
}

int lm_update::other_readers_attached()
{
    return m_pDis ? m_pDis->others_listed() : 0;
}

float lm_update::get_progress()
{
    return m_pTrans ? m_pTrans->get_progress() : 0.0f;
}
