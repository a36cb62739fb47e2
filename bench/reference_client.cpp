#include "reference_client.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace bench {

namespace {

const int kWaitMs = 2000;

// One stream on an open, claimed node.
int stream_on(int fd, const unsigned char* data, size_t size, int max_in_flight)
{
    size_t count = (size + kUrbBytes - 1) / kUrbBytes;
    std::vector<usbdevfs_urb> urbs(count);
    memset(urbs.data(), 0, count * sizeof(usbdevfs_urb));
    size_t submitted = 0, reaped = 0;

    auto submit_next = [&]() {
        usbdevfs_urb& u = urbs[submitted];
        size_t offset = submitted * kUrbBytes;
        u.type = USBDEVFS_URB_TYPE_BULK;
        u.endpoint = 3;
        u.buffer = const_cast<unsigned char*>(data) + offset;
        u.buffer_length = static_cast<int>(size - offset < kUrbBytes ? size - offset : kUrbBytes);
        if (ioctl(fd, USBDEVFS_SUBMITURB, &u) != 0)
            return false;
        ++submitted;
        return true;
    };

    while (reaped < count) {
        while (submitted < count && submitted - reaped < static_cast<size_t>(max_in_flight)) {
            if (!submit_next())
                return -1;
        }
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, kWaitMs) <= 0 || (p.revents & POLLERR))
            return -1;
        void* done = nullptr;
        if (ioctl(fd, USBDEVFS_REAPURBNDELAY, &done) != 0)
            return -1;
        const usbdevfs_urb* u = static_cast<const usbdevfs_urb*>(done);
        if (u->status != 0 || u->actual_length != u->buffer_length)
            return -1;
        ++reaped;
    }
    return 0;
}

void put_le32(unsigned char* out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

int reference_stream(const char* node, const unsigned char* data, size_t size, int max_in_flight)
{
    if (!data || size == 0 || max_in_flight < 1)
        return -1;
    int fd = open(node, O_RDWR);
    if (fd < 0)
        return -1;
    unsigned int interface = 0;
    int result = ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) == 0
                     ? stream_on(fd, data, size, max_in_flight)
                     : -1;
    // Closing the node ends whatever is still in flight after a failure.
    close(fd);
    return result;
}

void build_frame(unsigned char* out, unsigned addr, const unsigned char* payload, size_t len)
{
    put_le32(out, addr);
    put_le32(out + 4, static_cast<uint32_t>(len + 10));
    memcpy(out + 8, payload, len);
    uint32_t sum = 0;
    for (size_t i = 0; i < len; ++i)
        sum += payload[i];
    out[8 + len] = static_cast<unsigned char>(sum);
    out[9 + len] = static_cast<unsigned char>(sum >> 8);
}

}  // namespace bench
