// One file fetched over a fresh HTTP/1.1 connection, straight to port 80 or
// through the user's proxy, appended to the caller's growing buffer. Every
// wait is bounded and watches the cancel flag; the header block must end
// within its limit and the reply must keep the low-speed limit, so a server
// cannot hold a fetch forever. A body is only reported whole when all of it
// arrived: its declared length, or every chunk.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/chunked.h"
#include "net/download.h"
#include "net/host_name.h"
#include "net/lookup.h"
#include "net/low_speed.h"
#include "net/proxy.h"
#include "net/socket_wait.h"

namespace {

// Longest request text: the fixed pieces of the request line and headers.
const int kRequestFixedLen = 4 + 9 + 2 + 10 + 2 + 5 + 2 + 22 + 2 + 2;

// Host and path go into the request line and the Host: header as they are.
// The host names the server alone (no port, no user, nothing a proxy would
// read as another target); the path is a path, and a space, a control byte
// or DEL in it would split the request line or add headers.
bool fits_request(const char* host, const char* file)
{
    if (!lm_net::plain_host(host) || file[0] != '/')
        return false;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(file); *c; c++) {
        if (*c <= 0x20 || *c == 0x7F)
            return false;
    }
    return true;
}

// To a proxy the request names the whole URI and goes without the zero
// padding: a proxy takes the padding for a second request and resets the
// connection before the body has passed (seen with tinyproxy).
std::string proxy_request(const lm_net::http_route& route, const char* host, const char* file)
{
    std::string text = std::string("GET http://") + host + file + " HTTP/1.1\r\n";
    text += "Accept:*/*\r\nHost:";
    text += host;
    text += "\r\n";
    if (!route.authorization.empty())
        text += "Proxy-Authorization: " + route.authorization + "\r\n";
    text += "Connection: Keep-Alive\r\n\r\n";
    return text;
}

ssize_t recv_some(int fd, char* buf, long len)
{
    ssize_t n;
    do {
        n = recv(fd, buf, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool would_block(ssize_t n)
{
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// The wait before the next read: the shorter of the time left until the
// deadline and of the low-speed window's; 0 when either has run out.
int wait_limit(long long deadline, const lm_net::low_speed_watch& speed)
{
    long long left = deadline - lm_net::monotonic_ms();
    int speed_left = speed.left_ms();
    if (left <= 0)
        return 0;
    return left < speed_left ? static_cast<int>(left) : speed_left;
}

}  // namespace

int lm_download::http_download(const char* host, const char* file, char** pdata, int* pDownloadCancel)
{
    if (!host || !file || !pdata)
        return -1;
    m_bLengthUnknown.store(0, std::memory_order_relaxed);
    if (static_cast<long>(strlen(host) + strlen(file)) + kRequestFixedLen >= kRequestBlockSize)
        return -1;
    if (!fits_request(host, file))
        return -1;
    lm_net::http_route route;
    lm_net::peer_address to;
    int step = lm_net::lookup_route(host, &route, &to, m_nConnectLimitMs, pDownloadCancel);
    if (route.unusable)
        lm_net::report_unusable(route.unusable);
    if (step != 0)
        return step;
    std::string request;
    if (route.via_proxy) {
        request = proxy_request(route, host, file);
    } else {
        request.assign(kRequestBlockSize, '\0');
        sethttphead(&request[0], host, file);
    }
    int fd = socket(to.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return -1;
    int result = fetch_on_socket(fd, to, request, pdata, pDownloadCancel);
    close(fd);
    return result;
}

int lm_download::fetch_on_socket(int fd, const lm_net::peer_address& to, const std::string& request,
                                 char** pdata, int* pDownloadCancel)
{
    int step = lm_net::connect_within(fd, to.get(), to.len, m_nConnectLimitMs, pDownloadCancel);
    if (step != 0)
        return step;
    step = lm_net::send_all_within(fd, request.data(), static_cast<int>(request.size()), m_nDataLimitMs,
                                   pDownloadCancel);
    if (step != 0)
        return step;

    char* block = static_cast<char*>(malloc(kMaxHeaderSize));
    if (!block)
        return -1;
    int got = 0;
    int header_len = 0;
    long length = 0;
    bool chunked = false;
    lm_net::low_speed_watch speed(kLowSpeedBytes, m_nDataLimitMs);
    step = read_header_block(fd, block, &got, &header_len, speed, pDownloadCancel);
    if (step == 0 && parse_reply_head(block, header_len, &length, &chunked) != 0)
        step = -1;
    if (step == 0 && chunked) {
        m_bLengthUnknown.store(1, std::memory_order_relaxed);
        step = receive_chunked(fd, block + header_len, got - header_len, pdata, pDownloadCancel, speed);
    } else if (step == 0) {
        // Bytes beyond the declared length are not part of the body.
        long first = got - header_len < length ? got - header_len : length;
        step = writedata(pdata, block + header_len, static_cast<int>(first));
        if (step == 0 && first < length)
            step = receive_body(fd, length, first, pdata, pDownloadCancel, speed);
    }
    free(block);
    return step;
}

// Reads until the empty line that ends the headers has arrived, within
// m_nHeaderLimitMs. 0 with *pGot bytes in block and *pHeaderLen the header
// block's length; -1 when the server closes or fails first, is too slow, or
// the headers do not fit in the block; -2 when cancelled.
int lm_download::read_header_block(int fd, char* block, int* pGot, int* pHeaderLen,
                                   lm_net::low_speed_watch& speed, const int* pCancel)
{
    const long long deadline = lm_net::monotonic_ms() + m_nHeaderLimitMs;
    int got = 0;
    while (got < kMaxHeaderSize) {
        int limit = wait_limit(deadline, speed);
        if (limit <= 0)
            return -1;
        int waited = lm_net::wait_ready(fd, POLLIN, limit, pCancel);
        if (waited != 0)
            return waited;
        ssize_t n = recv_some(fd, block + got, kMaxHeaderSize - got);
        if (would_block(n))
            continue;
        if (n <= 0)
            return -1;
        speed.arrived(n);
        // The empty line may straddle two reads: look a little before the new bytes.
        int from = got > 3 ? got - 3 : 0;
        got += static_cast<int>(n);
        int header_len = find_header_end(block + from, got - from);
        if (header_len >= 0) {
            *pGot = got;
            *pHeaderLen = from + header_len;
            return 0;
        }
    }
    return -1;
}

// The body goes from the socket straight into the image buffer, in reads of
// up to kBodyReadSize; the cancel flag is looked at after every read.
int lm_download::receive_body(int fd, long length, long received, char** pdata, int* pDownloadCancel,
                              lm_net::low_speed_watch& speed)
{
    for (;;) {
        long n = read_into_buffer(fd, pdata, length - received, pDownloadCancel, speed);
        if (n < 0)
            return static_cast<int>(n);  // closed before the declared length: a truncated body
        m_curpos += static_cast<int>(n);
        received += n;
        if (received == length)
            return 0;
        m_fprogress.store(static_cast<float>(received) / static_cast<float>(length),
                          std::memory_order_relaxed);
        if (lm_net::cancel_requested(pDownloadCancel))
            return -2;
    }
}

// At least kBodyReadSize, or all the room the buffer has left, so that one
// read takes whatever the socket holds; never past `left`.
long lm_download::read_size(long left) const
{
    long room = static_cast<long>(m_totalsize) - m_curpos;
    long want = room > kBodyReadSize ? room : kBodyReadSize;
    return left < want ? left : want;
}

// Reads what the socket holds (at most read_size(left) bytes) to the end of
// the buffer. It reads first and waits only when nothing is there: on a fast
// link the bytes are usually waiting, and a wait before each read would
// double the system calls. The count read; -1 when the read fails, the
// server closes or the reply falls below the low-speed limit; -2 when
// cancelled.
long lm_download::read_into_buffer(int fd, char** pdata, long left, int* pDownloadCancel,
                                   lm_net::low_speed_watch& speed)
{
    long want = read_size(left);
    if (reserve(pdata, want) != 0)
        return -1;
    for (;;) {
        ssize_t n = recv_some(fd, *pdata + m_curpos, want);
        if (n > 0) {
            speed.arrived(n);
            return speed.left_ms() > 0 ? n : -1;
        }
        if (!would_block(n))
            return -1;
        int limit = speed.left_ms();
        if (limit <= 0)
            return -1;
        int waited = lm_net::wait_ready(fd, POLLIN, limit, pDownloadCancel);
        if (waited != 0)
            return waited;
    }
}

// A chunked body is decoded in place: the bytes read land at m_curpos and
// the decoder moves the body's bytes down over the framing. Its length is
// not known beforehand, so the progress is left alone (m_bLengthUnknown
// tells the display).
int lm_download::receive_chunked(int fd, char* first, int first_len, char** pdata, int* pDownloadCancel,
                                 lm_net::low_speed_watch& speed)
{
    lm_chunked decoder(kMaxImageSize);
    long out = decoder.feed(first, first_len, first);
    if (out < 0 || writedata(pdata, first, static_cast<int>(out)) != 0)
        return -1;
    while (!decoder.done()) {
        long n = read_into_buffer(fd, pdata, kMaxImageSize, pDownloadCancel, speed);
        if (n < 0)
            return static_cast<int>(n);  // closed before the last chunk: a truncated body
        char* at = *pdata + m_curpos;
        out = decoder.feed(at, n, at);
        if (out < 0)
            return -1;
        m_curpos += static_cast<int>(out);
        if (!decoder.done() && lm_net::cancel_requested(pDownloadCancel))
            return -2;
    }
    return 0;
}

void lm_download::sethttphead(char* msg, const char* host, const char* file)
{
    strcat(msg, "GET ");
    strcat(msg, file);
    strcat(msg, " HTTP/1.1");
    strcat(msg, "\r\n");
    strcat(msg, "Accept:*/*");
    strcat(msg, "\r\n");
    strcat(msg, "Host:");
    strcat(msg, host);
    strcat(msg, "\r\n");
    strcat(msg, "Connection: Keep-Alive");
    strcat(msg, "\r\n");
    strcat(msg, "\r\n");
}

int lm_download::reserve(char** pdest, long len)
{
    if (!*pdest) {
        m_curpos = 0;  // a null buffer holds nothing, whatever the counters say
        m_totalsize = 0;
    }
    long need = static_cast<long>(m_curpos) + len;
    if (need <= m_totalsize)
        return 0;
    long capacity = m_totalsize;
    while (capacity < need)
        capacity += kGrowStep;
    // Never beyond the largest image and a step; m_totalsize stays an int.
    char* grown = capacity <= kMaxImageSize + kGrowStep
                      ? static_cast<char*>(realloc(*pdest, static_cast<size_t>(capacity)))
                      : nullptr;
    if (!grown) {
        release_buffer(pdest);
        return -1;
    }
    *pdest = grown;
    m_totalsize = static_cast<int>(capacity);
    return 0;
}

int lm_download::writedata(char** pdest, const char* psrc, int len)
{
    if (len < 0)
        return -1;
    if (len == 0)
        return 0;
    if (reserve(pdest, len) != 0)
        return -1;
    memcpy(*pdest + m_curpos, psrc, len);
    m_curpos += len;
    return 0;
}

int lm_download::getcurdatalen()
{
    return m_curpos;
}

float lm_download::get_progress()
{
    return m_fprogress.load(std::memory_order_relaxed);
}

int lm_download::get_length_unknown()
{
    return m_bLengthUnknown.load(std::memory_order_relaxed);
}
