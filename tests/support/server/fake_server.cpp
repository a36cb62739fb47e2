// lumora-fake-server: serves the files of a folder over HTTP/1.1 on loopback,
// one request per connection, with optional faults for the updater's tests.
//
//   lumora-fake-server --root DIR [--addr 127.0.0.1] [--port 80]
//                      [--fault MODE] [--fault-path PATH] [--fault-once]
//                      [--trickle-bytes N] [--trickle-ms MS]
//                      [--log FILE] [--ready-file FILE]
//
// MODE: 404, http10, no-length, split-headers, short-body, extra-bytes,
// stall, trickle, lower-case (header names in lower case, as HTTP/2 gateways
// send them), large-header (12 KiB of cookies before the length), chunked,
// chunked-short (closed before the last chunk), chunked-length (chunked with
// a Content-Length beside it), chunked-endless (a chunk-size line of zeros
// that never ends, sent as fast as the client takes it). Run it inside a private network namespace (netns-run).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct options {
    std::string root;
    std::string addr = "127.0.0.1";
    int port = 80;
    std::string fault;
    std::string fault_path;
    bool fault_once = false;
    int trickle_bytes = 64;
    int trickle_ms = 20;
    std::string log;
    std::string ready_file;
};

options g_opt;
std::atomic<bool> g_fault_used{false};
std::mutex g_log_mutex;

const int kRequestWaitMs = 5000;
const int kMaxRequestBytes = 8192;
const int kDrainWaitMs = 2000;
const int kStallMaxMs = 600000;
const int kSplitPiece = 7;
const int kSplitPauseMs = 40;
const int kExtraBytes = 100;
const size_t kLargeHeaderBytes = 12 * 1024;
const size_t kChunkBytes = 4000;

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void log_line(const std::string& line)
{
    if (g_opt.log.empty())
        return;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    FILE* f = fopen(g_opt.log.c_str(), "a");
    if (!f)
        return;
    fprintf(f, "%s\n", line.c_str());
    fclose(f);
}

bool send_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool send_text(int fd, const std::string& text)
{
    return send_all(fd, text.data(), text.size());
}

// Reads the request up to its empty line. Returns the request line's path,
// or an empty string when no GET request arrived in time.
std::string read_request_path(int fd)
{
    std::string request;
    char buf[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kRequestWaitMs) <= 0)
            return "";
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return "";
        request.append(buf, static_cast<size_t>(n));
    }
    if (request.compare(0, 4, "GET ") != 0)
        return "";
    size_t end = request.find(' ', 4);
    if (end == std::string::npos)
        return "";
    return request.substr(4, end - 4);
}

// Paths stay inside the root: no "..", no empty or relative paths.
bool read_file(const std::string& path, std::string* body)
{
    if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos)
        return false;
    std::ifstream in(g_opt.root + path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream data;
    data << in.rdbuf();
    *body = data.str();
    return true;
}

bool fault_applies(const std::string& path)
{
    if (g_opt.fault.empty())
        return false;
    if (!g_opt.fault_path.empty() && g_opt.fault_path != path)
        return false;
    if (g_opt.fault_once)
        return !g_fault_used.exchange(true);
    return true;
}

// Lets the client read everything before the socket goes away: closing with
// unread request bytes would make the kernel reset the connection.
void close_gently(int fd)
{
    shutdown(fd, SHUT_WR);
    char buf[1024];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kDrainWaitMs) <= 0)
            break;
        if (recv(fd, buf, sizeof(buf), 0) <= 0)
            break;
    }
    close(fd);
}

// Holds the connection open without sending until the client goes away.
void stall(int fd)
{
    char buf[1024];
    for (int waited = 0; waited < kStallMaxMs; waited += 100) {
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready > 0 && recv(fd, buf, sizeof(buf), 0) <= 0)
            return;
    }
}

std::string header_block(const char* status_line, const std::string* length)
{
    std::string head = status_line;
    head += "\r\n";
    if (length)
        head += "Content-Length: " + *length + "\r\n";
    head += "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
    return head;
}

std::string to_lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The body in chunks of kChunkBytes, each size with an extension, and a
// trailer field after the last chunk.
std::string chunked_body(const std::string& body)
{
    std::string out;
    char size[32];
    for (size_t at = 0; at < body.size(); at += kChunkBytes) {
        size_t n = std::min(kChunkBytes, body.size() - at);
        snprintf(size, sizeof(size), "%zx;n=%zu\r\n", n, at / kChunkBytes);
        out += size + body.substr(at, n) + "\r\n";
    }
    return out + "0\r\nX-Checksum: none\r\n\r\n";
}

std::string chunked_head(const std::string* length)
{
    std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    if (length)
        head += "Content-Length: " + *length + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

// A chunk-size line of zero digits until the client goes away (or
// kStallMaxMs pass): "0000..." is a valid start of the last chunk's size.
void endless_size_line(int fd)
{
    const std::string zeros(16 * 1024, '0');
    const auto start = std::chrono::steady_clock::now();
    send_text(fd, chunked_head(nullptr));
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kStallMaxMs)) {
        if (!send_text(fd, zeros))
            return;
    }
}

// Sends the reply for one request; returns the status and the body bytes sent.
int reply(int fd, const std::string& path, bool found, const std::string& body, size_t* sent)
{
    const std::string mode = fault_applies(path) ? g_opt.fault : "";
    std::string length = std::to_string(body.size());
    *sent = 0;
    if (!found || mode == "404") {
        const std::string text = "not found\n";
        std::string text_len = std::to_string(text.size());
        send_text(fd, header_block("HTTP/1.1 404 Not Found", &text_len) + text);
        *sent = text.size();
        return 404;
    }
    if (mode == "http10") {
        send_text(fd, header_block("HTTP/1.0 200 OK", &length) + body);
    } else if (mode == "no-length") {
        send_text(fd, header_block("HTTP/1.1 200 OK", nullptr) + body);
    } else if (mode == "split-headers") {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::string head = header_block("HTTP/1.1 200 OK", &length);
        for (size_t at = 0; at < head.size(); at += kSplitPiece) {
            send_text(fd, head.substr(at, kSplitPiece));
            pause_ms(kSplitPauseMs);
        }
        send_text(fd, body);
    } else if (mode == "lower-case") {
        std::string head = header_block("HTTP/1.1 200 OK", &length);
        size_t fields = head.find("\r\n") + 2;  // the status line keeps its case
        send_text(fd, head.substr(0, fields) + to_lower(head.substr(fields)) + body);
    } else if (mode == "large-header") {
        std::string cookies;
        for (int i = 0; cookies.size() < kLargeHeaderBytes; i++)
            cookies += "Set-Cookie: c" + std::to_string(i) + "=" + std::string(200, 'v') + "\r\n";
        std::string head = header_block("HTTP/1.1 200 OK", &length);
        head.insert(head.find("\r\n") + 2, cookies);
        send_text(fd, head + body);
    } else if (mode == "chunked" || mode == "chunked-length") {
        send_text(fd, chunked_head(mode == "chunked" ? nullptr : &length) + chunked_body(body));
    } else if (mode == "chunked-endless") {
        endless_size_line(fd);
        return 200;
    } else if (mode == "chunked-short") {
        std::string framed = chunked_body(body);
        send_text(fd, chunked_head(nullptr) + framed.substr(0, framed.size() / 2));
        *sent = body.size() / 2;
        return 200;
    } else if (mode == "short-body") {
        send_text(fd, header_block("HTTP/1.1 200 OK", &length) + body.substr(0, body.size() / 2));
        *sent = body.size() / 2;
        return 200;
    } else if (mode == "extra-bytes") {
        send_text(fd, header_block("HTTP/1.1 200 OK", &length) + body + std::string(kExtraBytes, 'X'));
        *sent = body.size() + kExtraBytes;
        return 200;
    } else if (mode == "stall") {
        send_text(fd, header_block("HTTP/1.1 200 OK", &length));
        stall(fd);
        return 200;
    } else if (mode == "trickle") {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        send_text(fd, header_block("HTTP/1.1 200 OK", &length));
        size_t piece = static_cast<size_t>(g_opt.trickle_bytes);
        for (size_t at = 0; at < body.size(); at += piece) {
            pause_ms(g_opt.trickle_ms);
            if (!send_text(fd, body.substr(at, piece)))
                return 200;
            *sent += std::min(piece, body.size() - at);
        }
        return 200;
    } else {
        send_text(fd, header_block("HTTP/1.1 200 OK", &length) + body);
    }
    *sent = body.size();
    return 200;
}

void serve_connection(int fd)
{
    std::string path = read_request_path(fd);
    if (path.empty()) {
        send_text(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        log_line("BAD -> 400 bytes=0");
        close_gently(fd);
        return;
    }
    std::string body;
    bool found = read_file(path, &body);
    size_t sent = 0;
    int status = reply(fd, path, found, body, &sent);
    log_line("GET " + path + " -> " + std::to_string(status) + " bytes=" + std::to_string(sent));
    close_gently(fd);
}

void usage()
{
    fprintf(stderr,
            "usage: lumora-fake-server --root DIR [--addr A] [--port N] [--fault MODE]\n"
            "       [--fault-path PATH] [--fault-once] [--trickle-bytes N] [--trickle-ms MS]\n"
            "       [--log FILE] [--ready-file FILE]\n"
            "MODE: 404 http10 no-length split-headers short-body extra-bytes stall trickle\n"
            "      lower-case large-header chunked chunked-short chunked-length chunked-endless\n");
}

bool known_fault(const std::string& mode)
{
    static const char* const modes[] = {"404", "http10", "no-length", "split-headers",
                                        "short-body", "extra-bytes", "stall", "trickle",
                                        "lower-case", "large-header", "chunked", "chunked-short",
                                        "chunked-length", "chunked-endless"};
    for (const char* m : modes)
        if (mode == m)
            return true;
    return false;
}

bool parse_args(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string number;
        bool ok = true;
        if (arg == "--root") ok = value(&g_opt.root);
        else if (arg == "--addr") ok = value(&g_opt.addr);
        else if (arg == "--port") { ok = value(&number); g_opt.port = atoi(number.c_str()); }
        else if (arg == "--fault") ok = value(&g_opt.fault) && known_fault(g_opt.fault);
        else if (arg == "--fault-path") ok = value(&g_opt.fault_path);
        else if (arg == "--fault-once") g_opt.fault_once = true;
        else if (arg == "--trickle-bytes") { ok = value(&number); g_opt.trickle_bytes = atoi(number.c_str()); }
        else if (arg == "--trickle-ms") { ok = value(&number); g_opt.trickle_ms = atoi(number.c_str()); }
        else if (arg == "--log") ok = value(&g_opt.log);
        else if (arg == "--ready-file") ok = value(&g_opt.ready_file);
        else ok = false;
        if (!ok) {
            fprintf(stderr, "lumora-fake-server: bad argument %s\n", arg.c_str());
            return false;
        }
    }
    return !g_opt.root.empty() && g_opt.port > 0 && g_opt.port < 65536 && g_opt.trickle_bytes > 0 &&
           g_opt.trickle_ms >= 0;
}

int open_listener()
{
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(g_opt.port));
    if (inet_pton(AF_INET, g_opt.addr.c_str(), &addr.sin_addr) != 1)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Written under a temporary name and renamed, so a reader never sees half.
bool write_ready_file()
{
    if (g_opt.ready_file.empty())
        return true;
    std::string tmp = g_opt.ready_file + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    fprintf(f, "%d\n", static_cast<int>(getpid()));
    fclose(f);
    return rename(tmp.c_str(), g_opt.ready_file.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!parse_args(argc, argv)) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int listener = open_listener();
    if (listener < 0) {
        fprintf(stderr, "lumora-fake-server: cannot listen on %s:%d: %s\n", g_opt.addr.c_str(), g_opt.port,
                strerror(errno));
        return 1;
    }
    if (!write_ready_file()) {
        fprintf(stderr, "lumora-fake-server: cannot write %s\n", g_opt.ready_file.c_str());
        return 1;
    }
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return 1;
        }
        std::thread(serve_connection, fd).detach();
    }
}
