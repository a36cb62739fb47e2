// Helpers of the network tests: the local update server, a scripted peer for
// exact reply bytes, and switches for the probe's answers. All of it works
// on loopback inside the namespace that netns-run made for the test binary.
#ifndef LUMORA_TESTS_NET_SUPPORT_H
#define LUMORA_TESTS_NET_SUPPORT_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

std::string make_temp_dir();
void write_file(const std::string& path, const std::string& data);  // makes parent folders
std::string read_file(const std::string& path);
// Deterministic non-text bytes, so misplaced blocks show up in comparisons.
std::string pattern_bytes(size_t n, unsigned seed);
std::string reply_head(size_t length);  // "HTTP/1.1 200 OK" with Content-Length

// A socket of type (SOCK_DGRAM, SOCK_STREAM) bound to address (IPv4 or
// IPv6 text):port, or -1.
// A datagram one on port 53 is a name server that never answers.
int bound_socket(int type, const char* address, int port);

// Seconds since start, for the generous bounds that catch hangs.
double seconds_since(std::chrono::steady_clock::time_point start);

// lumora-fake-server on 127.0.0.1:80, serving root, until destroyed.
class fake_server {
public:
    explicit fake_server(const std::string& root, const std::vector<std::string>& extra = {});
    ~fake_server();
    bool ready() const { return m_ready; }
    std::string log() const;
    // The server logs a request after its last byte is sent, so a client
    // can finish first: wait (up to a few seconds) for the line to appear.
    bool log_has(const std::string& needle) const;

private:
    pid_t m_pid = -1;
    bool m_ready = false;
    std::string m_dir;
};

// One connection on 127.0.0.1:80: records the request block (1024 bytes),
// then sends each piece after its pause, then closes, or with hold_open keeps
// the connection until the client closes it.
struct piece {
    std::string bytes;
    int pause_ms = 0;
};
class scripted_peer {
public:
    explicit scripted_peer(std::vector<piece> pieces, bool hold_open = false);
    ~scripted_peer();
    std::string request();  // waits for the conversation to end

private:
    void run();
    int m_listener = -1;
    std::vector<piece> m_pieces;
    bool m_hold_open;
    std::string m_request;
    std::thread m_thread;
};

// tinyproxy on port 3128 of 127.0.0.1 and ::1, running as its own user,
// while root's direct connections to port 80 are refused, until destroyed.
// With basic_auth ("user password") it asks for credentials.
class proxy_only_route {
public:
    explicit proxy_only_route(const std::string& basic_auth = "");
    ~proxy_only_route();
    bool ready() const { return m_ready; }
    std::string log() const;

private:
    bool start(const std::string& basic_auth);
    bool m_ready = false;
    bool m_rule = false;
    pid_t m_pid = -1;
    std::string m_dir;
};

// Counts the TCP connections opened in this namespace (the packet counter
// of an iptables rule for outgoing SYNs) while it lives.
class connection_counter {
public:
    connection_counter();
    ~connection_counter();
    bool ready() const { return m_rule; }
    long count() const;  // -1 when the counter cannot be read

private:
    bool m_rule = false;
};

// Sets *flag (as the user interface does) after delay_ms.
class delayed_cancel {
public:
    delayed_cancel(int* flag, int delay_ms);
    ~delayed_cancel();

private:
    std::thread m_thread;
};

// Binds UDP port 45678 so the probe datagram gets no port-unreachable answer.
class udp_sink {
public:
    udp_sink();
    ~udp_sink();
    bool bound() const { return m_fd >= 0; }
    bool received_any();

private:
    int m_fd = -1;
};

// The namespace ignores ICMP echo requests while this lives.
class echo_silencer {
public:
    echo_silencer();
    ~echo_silencer();
};

// Runs fn in a forked child; returns its exit code (or 128 + signal).
int run_in_child(const std::function<int()>& fn);

}  // namespace nettest

#endif
