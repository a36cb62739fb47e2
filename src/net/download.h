// The network side: reachability probe, HTTP fetch, manifest and image download.
#ifndef LUMORA_NET_DOWNLOAD_H
#define LUMORA_NET_DOWNLOAD_H

#include <atomic>
#include <string>

class lm_update;
namespace lm_probe {
class probe_stop;
}
namespace lm_net {
class low_speed_watch;
struct peer_address;
}

class lm_download {
public:
    lm_download();
    ~lm_download() {}
    void set_data(lm_update* pUpdate) { m_pUpdate = pUpdate; }

    // Reachability probe: 0 when the update server answered, -1 when not.
    // In-process as root, otherwise through lumora-updater-probe.
    int get_internet_con_status();
    // The same probe for a caller on another thread, which may end it early
    // through stop (null: runs to its end). It reads no field of the object.
    static int internet_con_status(lm_probe::probe_stop* stop);
    // The TCP check (tcp_check.cpp), run when the probe said unreachable:
    // 0 when a TCP connection to tcp_check_target opens within
    // kTcpCheckLimitMs, -1 when not, -2 when *pCancel was set meanwhile.
    static int get_tcp_con_status(const int* pCancel);
    // Where the TCP check connects: the update server's HTTP port. The one
    // place that chooses it. 0 with host (hostSize bytes) and port set, or -1.
    static int tcp_check_target(char* host, int hostSize, int* port);
    int host2ip(const char* domain, char* ip);
    int DetectIP(const char* destIp);
    int SendPing(const char* destIp);
    unsigned short cal_chksum(unsigned short* addr, int len);
    // Writes the 8-byte echo request (no data) carrying the identifier id.
    void build_echo_request(unsigned char* pkt, unsigned short id);

    // HTTP fetch: 0 body received, -1 failure, -2 cancelled. The host must be
    // a host name or a dotted IPv4 address and the path must start with '/';
    // anything else fails before a connection is made.
    int http_download(const char* host, const char* file, char** pdata, int* pDownloadCancel);
    void sethttphead(char* msg, const char* host, const char* file);
    // Content-Length of a zero-terminated header block; kNoLength when the
    // block carries no usable length.
    unsigned long getlength(const char* header);
    // 0 when the zero-terminated block starts with "HTTP/1.1 200 OK", -1 when not.
    int getstatus(const char* header);
    int writedata(char** pdest, const char* psrc, int len);
    int getcurdatalen();
    float get_progress();
    // 1 while the body being fetched is chunked: its length is not known and
    // the progress stays where it is; 0 otherwise.
    int get_length_unknown();

    // Reply header parsing on received bytes; nothing outside [block, block + len)
    // is looked at. find_header_end gives the length of the header block
    // including its empty line, or -1 while "\r\n\r\n" has not been received.
    static int find_header_end(const char* block, int len);
    static int parse_status(const char* block, int len);
    static int parse_content_length(const char* block, int len, long* pLength);
    // 0 with *pChunked telling whether the body is chunked; -1 for any
    // other transfer coding.
    static int parse_transfer_coding(const char* block, int len, bool* pChunked);
    // All of the above on a complete header block: 0 and the body's framing
    // (a length, or kChunkedLength with *pChunked set), or -1. Without
    // pChunked a chunked reply is refused.
    static int parse_reply_head(const char* block, int len, long* pLength, bool* pChunked = nullptr);

    // Manifest and image: 0 image in *pdata, -1 failure, -2 cancelled.
    int DownloadImage(char** pdata, int* pDownloadCancel);
    int CheckDevice(char* host, char* file, char** pdata, int* pDownloadCancel);
    int GetLumoraMemSize();
    int get_cur_dev_version();

    // Finds the three lines of the given variant in the manifest bytes and
    // copies the image host and path into the kFieldSize-byte fields.
    // 0 when the scan ended (fields possibly empty), -1 for an over-long line.
    static int scan_manifest(const char* data, int len, const char* variant, char* host, char* file);

    static const char* const m_host;
    static const char* const m_file;

    static constexpr int kRequestBlockSize = 1024;
    static constexpr int kMaxHeaderSize = 16 * 1024;     // the reply's whole header block
    static constexpr int kBodyReadSize = 64 * 1024;      // largest read of the body
    static constexpr long kChunkedLength = -1;           // length of a chunked body: unknown
    static constexpr int kGrowStep = 0x500000;           // buffer grows in 5 MiB steps
    static constexpr long kMaxImageSize = 256L << 20;    // largest body accepted
    static constexpr int kFieldSize = 260;               // manifest fields: 259 characters + zero
    static constexpr int kHttpPort = 80;
    static constexpr int kConnectTimeoutSec = 10;
    static constexpr int kTcpCheckLimitMs = 3000;        // the TCP check's connect
    static constexpr int kHeaderLimitSec = 30;           // the reply's header block must end within this
    static constexpr int kLowSpeedSec = 30;              // fewer than kLowSpeedBytes in any such span
    static constexpr long kLowSpeedBytes = 1024;         // fails the fetch (curl's low-speed limit)
    static constexpr int kCancelPollMs = 250;            // cancel flag looked at this often
    static constexpr unsigned long kNoLength = static_cast<unsigned long>(-1);

    // Where the last image came from, as the manifest named it.
    char m_imgHost[kFieldSize];
    char m_imgFile[kFieldSize];
    int m_totalsize;
    int m_curpos;
    int m_dev_ver;
    std::atomic<float> m_fprogress;
    std::atomic<int> m_bLengthUnknown;
    lm_update* m_pUpdate;
    // Time limits of one fetch, in milliseconds (shortened by the tests):
    // the connection and the name lookup; the low-speed window (also the
    // longest stall while the request is sent); the header block.
    int m_nConnectLimitMs;
    int m_nDataLimitMs;
    int m_nHeaderLimitMs;

private:
    int fetch_on_socket(int fd, const lm_net::peer_address& to, const std::string& request,
                        char** pdata, int* pDownloadCancel);
    int read_header_block(int fd, char* block, int* pGot, int* pHeaderLen, lm_net::low_speed_watch& speed,
                          const int* pCancel);
    int receive_body(int fd, long length, long received, char** pdata, int* pDownloadCancel,
                     lm_net::low_speed_watch& speed);
    int receive_chunked(int fd, char* first, int first_len, char** pdata, int* pDownloadCancel,
                        lm_net::low_speed_watch& speed);
    // Makes room for len more bytes at m_curpos: 0, or -1 with the buffer released.
    int reserve(char** pdest, long len);
    void release_buffer(char** pdata);
    long read_size(long left) const;
    long read_into_buffer(int fd, char** pdata, long left, int* pDownloadCancel, lm_net::low_speed_watch& speed);
};

#endif
