#include "tests/net/net_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace nettest {

namespace {

const char kEchoSysctl[] = "/proc/sys/net/ipv4/icmp_echo_ignore_all";
const char kDirectRule[] = "OUTPUT -p tcp --dport 80 -m owner --uid-owner 0 -j REJECT --reject-with tcp-reset";
const char kCountRule[] = "OUTPUT -p tcp --syn -m comment --comment lumora-count";
const int kProxyPort = 3128;
const int kPeerWaitMs = 10000;

void make_parents(const std::string& path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
}

bool accepts_connections(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

bool run_command(const std::string& cmd)
{
    return system(cmd.c_str()) == 0;
}

bool wait_readable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

void write_sysctl(const char* path, const char* value)
{
    FILE* f = fopen(path, "w");
    if (!f)
        return;
    fputs(value, f);
    fclose(f);
}

}  // namespace

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/lumora-net-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return dir ? dir : "";
}

void write_file(const std::string& path, const std::string& data)
{
    make_parents(path);
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

std::string pattern_bytes(size_t n, unsigned seed)
{
    std::string out(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 16);
    }
    return out;
}

std::string reply_head(size_t length)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

int bound_socket(int type, const char* address, int port)
{
    sockaddr_storage a;
    memset(&a, 0, sizeof(a));
    sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&a);
    sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&a);
    socklen_t len = sizeof(*v4);
    if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof(*v6);
    } else {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &v4->sin_addr);
    }
    int fd = socket(a.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

fake_server::fake_server(const std::string& root, const std::vector<std::string>& extra)
{
    m_dir = make_temp_dir();
    std::string ready = m_dir + "/ready";
    std::string log = m_dir + "/log";
    std::vector<std::string> args = {LUMORA_FAKE_SERVER, "--root", root, "--ready-file", ready, "--log", log};
    args.insert(args.end(), extra.begin(), extra.end());
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 500 && m_pid > 0; i++) {
        if (access(ready.c_str(), F_OK) == 0) {
            m_ready = true;
            break;
        }
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        usleep(10000);
    }
}

fake_server::~fake_server()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    unlink((m_dir + "/ready").c_str());
    unlink((m_dir + "/log").c_str());
    rmdir(m_dir.c_str());
}

std::string fake_server::log() const
{
    return read_file(m_dir + "/log");
}

bool fake_server::log_has(const std::string& needle) const
{
    for (int tries = 0; tries < 100; ++tries) {
        if (log().find(needle) != std::string::npos)
            return true;
        usleep(50 * 1000);
    }
    return false;
}

scripted_peer::scripted_peer(std::vector<piece> pieces, bool hold_open)
    : m_pieces(std::move(pieces)), m_hold_open(hold_open)
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(80);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(m_listener, 4) != 0) {
        perror("scripted_peer: listen on 127.0.0.1:80");
        close(m_listener);
        m_listener = -1;
        return;
    }
    m_thread = std::thread(&scripted_peer::run, this);
}

scripted_peer::~scripted_peer()
{
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0)
        close(m_listener);
}

std::string scripted_peer::request()
{
    if (m_thread.joinable())
        m_thread.join();
    return m_request;
}

void scripted_peer::run()
{
    if (!wait_readable(m_listener, kPeerWaitMs))
        return;
    int fd = accept(m_listener, nullptr, nullptr);
    if (fd < 0)
        return;
    char buf[2048];
    while (m_request.size() < 1024 && wait_readable(fd, 2000)) {
        ssize_t n = recv(fd, buf, 1024 - m_request.size(), 0);
        if (n <= 0)
            break;
        m_request.append(buf, static_cast<size_t>(n));
    }
    for (const piece& p : m_pieces) {
        if (p.pause_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(p.pause_ms));
        if (send(fd, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL) < 0)
            break;
    }
    if (!m_hold_open)
        shutdown(fd, SHUT_WR);
    // Read until the client closes, so nothing unread resets the connection.
    while (wait_readable(fd, kPeerWaitMs) && recv(fd, buf, sizeof(buf), 0) > 0) {
    }
    close(fd);
}

proxy_only_route::proxy_only_route(const std::string& basic_auth)
{
    m_dir = make_temp_dir();
    m_ready = start(basic_auth);
}

bool proxy_only_route::start(const std::string& basic_auth)
{
    const passwd* user = getpwnam("tinyproxy");
    if (!user || m_dir.empty()) {
        fprintf(stderr, "proxy_only_route: no tinyproxy user (see tools/debian-packages)\n");
        return false;
    }
    // Its log and pid files are written as the tinyproxy user.
    if (chown(m_dir.c_str(), user->pw_uid, user->pw_gid) != 0 || chmod(m_dir.c_str(), 0755) != 0)
        return false;
    std::string conf = "User tinyproxy\nGroup tinyproxy\nPort " + std::to_string(kProxyPort) +
                       "\nTimeout 30\nLogLevel Info\nLogFile \"" + m_dir + "/log\"\nPidFile \"" +
                       m_dir + "/pid\"\n";
    if (!basic_auth.empty())
        conf += "BasicAuth " + basic_auth + "\n";
    write_file(m_dir + "/tinyproxy.conf", conf);
    if (!run_command("tinyproxy -c '" + m_dir + "/tinyproxy.conf'"))
        return false;
    for (int i = 0; i < 500 && !accepts_connections(kProxyPort); i++)
        usleep(10000);
    for (int i = 0; i < 500 && m_pid <= 0; i++) {
        m_pid = atoi(read_file(m_dir + "/pid").c_str());
        if (m_pid <= 0)
            usleep(10000);
    }
    m_rule = run_command(std::string("iptables -A ") + kDirectRule);
    return m_pid > 0 && m_rule && accepts_connections(kProxyPort);
}

proxy_only_route::~proxy_only_route()
{
    if (m_rule)
        run_command(std::string("iptables -D ") + kDirectRule);
    if (m_pid > 0) {
        // Not our child: it forked away from the shell that started it.
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 500 && kill(m_pid, 0) == 0; i++)
            usleep(10000);
    }
    run_command("rm -rf '" + m_dir + "'");
}

std::string proxy_only_route::log() const
{
    return read_file(m_dir + "/log");
}

connection_counter::connection_counter()
{
    m_rule = run_command(std::string("iptables -I ") + kCountRule);
}

connection_counter::~connection_counter()
{
    if (m_rule)
        run_command(std::string("iptables -D ") + kCountRule);
}

long connection_counter::count() const
{
    FILE* listing = popen("iptables -L OUTPUT -v -x -n", "r");
    if (!listing)
        return -1;
    long packets = -1;
    char line[512];
    while (fgets(line, sizeof(line), listing)) {
        if (strstr(line, "lumora-count"))
            packets = strtol(line, nullptr, 10);
    }
    pclose(listing);
    return packets;
}

delayed_cancel::delayed_cancel(int* flag, int delay_ms)
    : m_thread([flag, delay_ms] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
          __atomic_store_n(flag, 1, __ATOMIC_RELAXED);
      })
{
}

delayed_cancel::~delayed_cancel()
{
    m_thread.join();
}

udp_sink::udp_sink()
{
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(45678);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        perror("udp_sink: bind 45678");
        close(m_fd);
        m_fd = -1;
    }
}

udp_sink::~udp_sink()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool udp_sink::received_any()
{
    char buf[64];
    return m_fd >= 0 && recv(m_fd, buf, sizeof(buf), MSG_DONTWAIT) >= 0;
}

echo_silencer::echo_silencer()
{
    write_sysctl(kEchoSysctl, "1");
}

echo_silencer::~echo_silencer()
{
    write_sysctl(kEchoSysctl, "0");
}

int run_in_child(const std::function<int()>& fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        _exit(fn());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

}  // namespace nettest
