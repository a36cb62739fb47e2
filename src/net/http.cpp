// One file fetched over a fresh HTTP/1.1 connection to port 80, appended to
// the caller's growing buffer. Every wait is bounded and watches the cancel
// flag; a body is only reported whole when exactly its declared length arrived.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/download.h"
#include "net/resolve.h"
#include "net/socket_wait.h"

namespace {

// Longest request text: the fixed pieces of the request line and headers.
const int kRequestFixedLen = 4 + 9 + 2 + 10 + 2 + 5 + 2 + 22 + 2 + 2;

// Host and path go into the request line and the Host: header as they are:
// a space, a control byte or DEL would split them or add headers.
bool fits_request(const char* text)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; c++) {
        if (*c <= 0x20 || *c == 0x7F)
            return false;
    }
    return true;
}

int resolve_ipv4(const char* host, in_addr* addr)
{
    if (!host || !*host)
        return -1;
    if (inet_pton(AF_INET, host, addr) == 1)
        return 0;
    return lm_resolve_ipv4(host, addr);
}

// Reads until the empty line that ends the headers has arrived. 0 with
// *pGot bytes in block and *pHeaderLen the header block's length; -1 when the
// server closes or fails first, or the headers do not fit in the block.
int read_header_block(int fd, char* block, int* pGot, int* pHeaderLen, int limit_ms, const int* pCancel)
{
    int got = 0;
    while (got < lm_download::kReplyBlockSize) {
        int waited = lm_net::wait_ready(fd, POLLIN, limit_ms, pCancel);
        if (waited != 0)
            return waited;
        ssize_t n = recv(fd, block + got, lm_download::kReplyBlockSize - got, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            return -1;
        got += static_cast<int>(n);
        int header_len = lm_download::find_header_end(block, got);
        if (header_len >= 0) {
            *pGot = got;
            *pHeaderLen = header_len;
            return 0;
        }
    }
    return -1;
}

}  // namespace

int lm_download::http_download(const char* host, const char* file, char** pdata, int* pDownloadCancel)
{
    if (!host || !file || !pdata)
        return -1;
    if (static_cast<long>(strlen(host) + strlen(file)) + kRequestFixedLen >= kRequestBlockSize)
        return -1;
    if (!fits_request(host) || !fits_request(file))
        return -1;
    sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(kHttpPort);
    if (resolve_ipv4(host, &to.sin_addr) != 0)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return -1;
    int result = fetch_on_socket(fd, &to, host, file, pdata, pDownloadCancel);
    close(fd);
    return result;
}

int lm_download::fetch_on_socket(int fd, const void* addr, const char* host, const char* file,
                                 char** pdata, int* pDownloadCancel)
{
    int step = lm_net::connect_within(fd, static_cast<const sockaddr_in*>(addr), m_nConnectLimitMs,
                                      pDownloadCancel);
    if (step != 0)
        return step;

    char request[kRequestBlockSize];
    memset(request, 0, sizeof(request));
    sethttphead(request, host, file);
    step = lm_net::send_all_within(fd, request, kRequestBlockSize, m_nDataLimitMs, pDownloadCancel);
    if (step != 0)
        return step;

    char block[kReplyBlockSize];
    int got = 0;
    int header_len = 0;
    step = read_header_block(fd, block, &got, &header_len, m_nDataLimitMs, pDownloadCancel);
    if (step != 0)
        return step;
    long length = 0;
    if (parse_reply_head(block, header_len, &length) != 0)
        return -1;

    // Bytes beyond the declared length are not part of the body.
    long first = got - header_len;
    if (first > length)
        first = length;
    if (writedata(pdata, block + header_len, static_cast<int>(first)) != 0)
        return -1;
    if (first == length)
        return 0;
    return receive_body(fd, length, first, pdata, pDownloadCancel);
}

int lm_download::receive_body(int fd, long length, long received, char** pdata, int* pDownloadCancel)
{
    char block[kReplyBlockSize];
    for (;;) {
        int waited = lm_net::wait_ready(fd, POLLIN, m_nDataLimitMs, pDownloadCancel);
        if (waited != 0)
            return waited;
        ssize_t n = recv(fd, block, sizeof(block), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            return -1;  // failed, or closed before the declared length: a truncated body
        long take = n < length - received ? n : length - received;
        if (writedata(pdata, block, static_cast<int>(take)) != 0)
            return -1;
        received += take;
        if (received == length)
            return 0;
        m_fprogress.store(static_cast<float>(received) / static_cast<float>(length),
                          std::memory_order_relaxed);
        if (lm_net::cancel_requested(pDownloadCancel))
            return -2;
    }
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

int lm_download::writedata(char** pdest, const char* psrc, int len)
{
    if (len < 0)
        return -1;
    if (len == 0)
        return 0;
    if (!*pdest) {
        m_curpos = 0;  // a null buffer holds nothing, whatever the counters say
        m_totalsize = 0;
    }
    long need = static_cast<long>(m_curpos) + len;
    if (need > m_totalsize) {
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
    }
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
