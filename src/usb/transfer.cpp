#include "usb/transfer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "usb/discovery.h"
#include "usb/frame.h"

const char LM_PRODUCT_64[] = "ORVEX LUMORA64 UPDate";
const char LM_PRODUCT_REFUSED[] = "Kavely Tra 4303";

namespace {

const char kSubmitFailure[] = "submit urb failure\n";

// A block already in memory, streamed as it lies there.
class block_source : public lm_stream_source {
public:
    block_source(const unsigned char* buf, unsigned int size) : m_buf(buf), m_size(size) {}
    unsigned int size() const override { return m_size; }
    const unsigned char* piece(unsigned int offset, unsigned int) override
    {
        return m_buf + offset;
    }

private:
    const unsigned char* m_buf;
    unsigned int m_size;
};

} // namespace

lm_transfer::lm_transfer()
    : m_fd(-1), m_urbs(nullptr), m_nurbs(0), m_nSuccess(0), m_nTransfered(0), m_fProgress(0.0f),
      m_ndata_size(0), m_nSubmitted(0), m_nReaped(0), m_source(nullptr), m_nslots(0),
      m_frame_ends(nullptr)
{
    // Allocated and touched once, with the updater, and kept for every stage:
    // a stage then allocates nothing and faults in no fresh page while its
    // URBs are in flight.
    const size_t records = LM_URBS_IN_FLIGHT * sizeof(lm_urb);
    void* block = malloc(records + LM_FRAME_ENDS_BYTES);
    if (!block)
        return;
    memset(block, 0, records + LM_FRAME_ENDS_BYTES);
    m_urbs = static_cast<lm_urb*>(block);
    m_frame_ends = static_cast<unsigned char*>(block) + records;
}

// The facade closes the node after every operation; nothing to close here.
lm_transfer::~lm_transfer()
{
    free(m_urbs);
}

int lm_transfer::open_lumora_dev(const char* path, int major, int minor)
{
    if (m_fd >= 0)
        return 0;
    if (!path)
        return -1;
    char node[LM_PATH_MAX];
    lm_usb_node_path(node, path, major, minor);
    return open_node(node);
}

int lm_transfer::open_node(const char* node)
{
    if (m_fd >= 0)
        return 0;
    if (!node)
        return -1;
    m_fd = open(node, O_RDWR);
    return m_fd >= 0 ? 0 : -1;
}

int lm_transfer::close_lumora_dev()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    return 0;
}

int lm_transfer::claim_ctrl_interface()
{
    unsigned int interface = 0;
    return ioctl(m_fd, USBDEVFS_CLAIMINTERFACE, &interface) == 0 ? 0 : -1;
}

int lm_transfer::make_bulk_urb_package(lm_urb* urb, unsigned char* buf, int len)
{
    urb->type = USBDEVFS_URB_TYPE_BULK;
    urb->endpoint = LM_BULK_ENDPOINT;
    urb->buffer = buf;
    urb->buffer_length = len;
    urb->usercontext = nullptr;
    return 0;
}

// URB index takes the record index % m_nslots: the URB that used it
// before has been reaped, since they complete in order. -1 when the submit
// failed, -2 when the source had no bytes for it.
int lm_transfer::submit_urb(int index)
{
    unsigned int offset = static_cast<unsigned int>(index) * LM_URB_BYTES;
    unsigned int len = static_cast<unsigned int>(m_ndata_size) - offset;
    if (len > LM_URB_BYTES)
        len = LM_URB_BYTES;
    const unsigned char* bytes = m_source->piece(offset, len);
    if (!bytes)
        return -2;
    lm_urb* urb = slot_urb(index);
    memset(urb, 0, sizeof *urb);
    // usbfs only reads an OUT URB's buffer; the record's field is not const.
    make_bulk_urb_package(urb, const_cast<unsigned char*>(bytes), static_cast<int>(len));
    if (ioctl(m_fd, USBDEVFS_SUBMITURB, urb) != 0)
        return -1;
    m_nSubmitted = index + 1;
    return 0;
}

// URBs of one endpoint complete in order, so the ones still in flight are
// those submitted after the last one reaped.
void lm_transfer::discard_in_flight()
{
    for (int i = m_nReaped; i < m_nSubmitted; ++i) {
        if (ioctl(m_fd, USBDEVFS_DISCARDURB, slot_urb(i)) != 0)
            break;
    }
}

int lm_transfer::begin_bulk_transfer(lm_stream_source& source)
{
    unsigned int size = source.size();
    m_ndata_size = static_cast<int>(size);
    m_nTransfered = 0;
    m_nSuccess = 0;
    m_nSubmitted = 0;
    m_nReaped = 0;
    m_nurbs = static_cast<int>(size / LM_URB_BYTES + (size % LM_URB_BYTES ? 1 : 0));
    m_nslots = m_nurbs < LM_URBS_IN_FLIGHT ? m_nurbs : LM_URBS_IN_FLIGHT;
    m_source = &source;
    return m_urbs ? 0 : -1;
}

void lm_transfer::end_bulk_transfer()
{
    // URBs not discarded end when the facade closes the node; none of them is
    // reaped after this, since every operation starts on a freshly opened node.
    m_source = nullptr;
}

int lm_transfer::transfer_bulk_data(unsigned char* buf, unsigned int size)
{
    if (!buf)
        return -1;
    block_source source(buf, size);
    return stream_bulk(source);
}

int lm_transfer::stream_bulk(lm_stream_source& source)
{
    if (source.size() == 0 || source.size() > INT_MAX)
        return -1;
    if (begin_bulk_transfer(source) != 0) {
        end_bulk_transfer();
        return -1;
    }

    int submitted = 0;
    while (submitted == 0 && m_nSubmitted < m_nslots)
        submitted = submit_urb(m_nSubmitted);

    while (submitted == 0 && !m_nSuccess) {
        if (poll_bulk_urb() != 0)
            break;
        if (m_nSubmitted < m_nurbs && m_nSubmitted - m_nReaped < m_nslots)
            submitted = submit_urb(m_nSubmitted);
    }

    if (submitted != 0)
        discard_in_flight();
    if (submitted == -1)
        fputs(kSubmitFailure, stderr);
    end_bulk_transfer();
    return m_nSuccess ? 0 : -1;
}

int lm_transfer::poll_bulk_urb()
{
    struct pollfd pfd;
    pfd.fd = m_fd;
    pfd.events = POLLOUT;
    pfd.revents = 0;
    if (poll(&pfd, 1, LM_URB_WAIT_MS) <= 0)
        return -1;
    if (pfd.revents == 0)
        return -1;

    // usbfs still hands back the URBs that completed before a disconnect;
    // POLLERR (the reader left) ends the stream only once none is left,
    // when the reap fails.
    void* reaped = nullptr;
    if (ioctl(m_fd, USBDEVFS_REAPURBNDELAY, &reaped) != 0)
        return -1;
    // Only the oldest URB in flight may come back: its slot is the next refilled.
    if (!m_source || m_nReaped >= m_nSubmitted || reaped != slot_urb(m_nReaped))
        return -1;
    lm_urb* urb = static_cast<lm_urb*>(reaped);
    ++m_nReaped;

    // A failed or short completion leaves a gap in the frame: nothing after
    // it may reach the reader.
    if (urb->status != 0 || urb->actual_length != urb->buffer_length) {
        discard_in_flight();
        return -1;
    }
    m_nTransfered += urb->actual_length;
    m_fProgress.store(static_cast<float>(static_cast<double>(m_nTransfered) / m_ndata_size),
                      std::memory_order_relaxed);
    if (m_nTransfered == m_ndata_size)
        m_nSuccess = 1;
    return 0;
}

int lm_transfer::make_ctrl_request_package(lm_usb_request* rq, uint8_t iProduct,
                                           uint16_t language, uint16_t* buf, int datalen)
{
    rq->bRequestType = 0x80;  // device to host, standard, device
    rq->bRequest = 6;         // GET_DESCRIPTOR
    rq->wValue = static_cast<uint16_t>(0x0300 | iProduct);  // STRING descriptor, index
    rq->wIndex = language;
    rq->wLength = static_cast<uint16_t>(datalen);
    rq->timeout = LM_CTRL_TIMEOUT_MS;  // no answer in time is a failed read
    rq->data = buf;
    return 0;
}

int lm_transfer::transfer_ctrl_data(uint8_t iProduct, uint16_t language, unsigned char* buf,
                                    int len)
{
    if (!buf || len <= 0 || len > LM_CTRL_MAX_OUT)
        return -1;
    lm_usb_request* rq = static_cast<lm_usb_request*>(calloc(1, sizeof(lm_usb_request)));
    if (!rq)
        return -1;
    uint16_t reply[LM_CTRL_REPLY_UNITS] = {0};
    make_ctrl_request_package(rq, iProduct, language, reply, sizeof reply);
    int got = ioctl(m_fd, USBDEVFS_CONTROL, rq);
    int error = errno;
    free(rq);
    // No answer within the limit is no answer at all, not an empty string.
    if (got < 0 && error == ETIMEDOUT)
        return -1;
    if (got <= 0)
        return 0;

    // Code unit 0 holds bLength and bDescriptorType; the text is UTF-16LE,
    // of which the low bytes keep ASCII as it is.
    int units = got / 2;
    if (units > LM_CTRL_REPLY_UNITS)
        units = LM_CTRL_REPLY_UNITS;
    int chars = units > 0 ? units - 1 : 0;
    if (chars > len - 1)
        chars = len - 1;
    for (int k = 0; k < chars; ++k) {
        const unsigned char* unit = reinterpret_cast<const unsigned char*>(&reply[k + 1]);
        buf[k] = unit[0];
    }
    buf[chars] = '\0';
    return 0;
}

int lm_transfer::get_lumora_buffer_size(uint8_t iproduct)
{
    unsigned char text[256] = {0};
    if (transfer_ctrl_data(iproduct, 0, text, sizeof text) < 0)
        return -1;
    if (memcmp(text, LM_PRODUCT_64, strlen(LM_PRODUCT_64)) == 0)
        return 64;
    if (memcmp(text, LM_PRODUCT_REFUSED, strlen(LM_PRODUCT_REFUSED)) == 0)
        return -1;
    return 32;
}

float lm_transfer::get_progress()
{
    return m_fProgress.load(std::memory_order_relaxed);
}

int lm_transfer::write_flash(u_int32_t addrs, u_char* data, int len)
{
    if (len < 0 || len > INT_MAX - LM_FRAME_OVERHEAD || (!data && len > 0))
        return -1;
    if (!m_frame_ends)
        return -1;
    lm_flash_frame frame(addrs, data, static_cast<unsigned int>(len), m_frame_ends);
    return stream_bulk(frame);
}
