// The Warning page's network steps beyond the probe: the TCP check to the
// server's HTTP port, a helper stopped from another thread, and the
// helper's limit against the resolver's own wait.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "net/download.h"
#include "net/probe_helper.h"
#include "tests/net/net_support.h"

using nettest::seconds_since;
using clock_type = std::chrono::steady_clock;

namespace {

// An iptables rule of this namespace while it lives.
struct firewall_rule {
    explicit firewall_rule(const std::string& rule) : m_rule(rule)
    {
        m_added = system(("iptables -A " + m_rule).c_str()) == 0;
    }
    ~firewall_rule()
    {
        if (m_added && system(("iptables -D " + m_rule).c_str()) != 0)
            ADD_FAILURE() << "cannot remove the rule " << m_rule;
    }
    std::string m_rule;
    bool m_added;
};

// A UDP socket on address:53 that takes queries and never answers.
int silent_name_server(const char* address)
{
    return nettest::bound_socket(SOCK_DGRAM, address, 53);
}

}  // namespace

TEST(TcpCheck, OpensWhenHttpIsServedAndFailsAtOnceWhenRefused)
{
    char host[64];
    int port = 0;
    ASSERT_EQ(0, lm_download::tcp_check_target(host, sizeof(host), &port));
    EXPECT_STREQ(lm_download::m_host, host);
    EXPECT_EQ(80, port);
    EXPECT_EQ(-1, lm_download::tcp_check_target(host, 4, &port));

    {
        const std::string root = nettest::make_temp_dir();
        nettest::fake_server server(root);
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(0, lm_download::get_tcp_con_status(nullptr));
        rmdir(root.c_str());
    }
    EXPECT_EQ(-1, lm_download::get_tcp_con_status(nullptr));  // nothing listens: refused

    // Behind a proxy the check goes to the proxy, not to the server.
    int listener = nettest::bound_socket(SOCK_STREAM, "127.0.0.1", 3129);
    ASSERT_EQ(0, listen(listener, 4));
    setenv("http_proxy", "http://127.0.0.1:3129", 1);
    ASSERT_EQ(0, lm_download::tcp_check_target(host, sizeof(host), &port));
    EXPECT_STREQ("127.0.0.1", host);
    EXPECT_EQ(3129, port);
    EXPECT_EQ(0, lm_download::get_tcp_con_status(nullptr));
    close(listener);

    // An IPv6 proxy is connected to over IPv6.
    int listener6 = nettest::bound_socket(SOCK_STREAM, "::1", 3129);
    ASSERT_EQ(0, listen(listener6, 4));
    setenv("http_proxy", "http://[::1]:3129", 1);
    EXPECT_EQ(0, lm_download::get_tcp_con_status(nullptr));
    unsetenv("http_proxy");
    close(listener6);
}

// A connection that never opens ends on its own (the generous bound only
// catches a hang), and a set cancel flag ends it as cancelled.
TEST(TcpCheck, DroppedPortEndsOnItsOwnOrAtCancel)
{
    firewall_rule drop("INPUT -p tcp --dport 80 -j DROP");
    ASSERT_TRUE(drop.m_added) << "iptables is needed";
    auto start = clock_type::now();
    EXPECT_EQ(-1, lm_download::get_tcp_con_status(nullptr));
    EXPECT_LT(seconds_since(start), 20.0);

    int cancel = 0;
    nettest::delayed_cancel later(&cancel, 200);
    EXPECT_EQ(-2, lm_download::get_tcp_con_status(&cancel));
}

TEST(ProbeHelper, StoppedHelperIsKilledAndReaped)
{
    const std::string dir = nettest::make_temp_dir();
    const std::string hanging = dir + "/hanging";
    const std::string started = dir + "/started";
    nettest::write_file(hanging, "#!/bin/sh\ntouch " + started + "\nexec sleep 60\n");
    ASSERT_EQ(0, chmod(hanging.c_str(), 0755));

    lm_probe::probe_stop stop;
    auto start = clock_type::now();
    std::thread stopper([&stop, &started] {
        while (access(started.c_str(), F_OK) != 0)
            usleep(10000);
        stop.stop();
    });
    EXPECT_EQ(-1, lm_probe::run_helper(hanging.c_str(), 60000, &stop));
    stopper.join();
    EXPECT_LT(seconds_since(start), 30.0);  // killed, not waited for
    // Reaped: this process has no child left.
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);

    // Once stopped, nothing more is started.
    unlink(started.c_str());
    EXPECT_EQ(-1, lm_probe::run_helper(hanging.c_str(), 60000, &stop));
    EXPECT_NE(0, access(started.c_str(), F_OK));
    unlink(hanging.c_str());
    rmdir(dir.c_str());
}

// Two name servers that never answer, one second and two attempts: glibc
// waits 1 s for the first and (1 << 1) / 2 s for the second, twice. The
// limit is taken from the same configuration and is not shorter.
TEST(ProbeHelper, LimitIsNotShorterThanTheResolversOwnWait)
{
    const std::string dir = nettest::make_temp_dir();
    int code = nettest::run_in_child([&dir] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 10;
        nettest::write_file(dir + "/resolv.conf",
                            "nameserver 127.0.0.2\nnameserver 127.0.0.3\noptions timeout:1 attempts:2\n");
        nettest::write_file(dir + "/hosts", "127.0.0.1 localhost\n");
        if (mount((dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            mount((dir + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            return 11;
        int a = silent_name_server("127.0.0.2"), b = silent_name_server("127.0.0.3");
        if (a < 0 || b < 0)
            return 12;
        addrinfo hints;
        memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_INET;
        addrinfo* found = nullptr;
        auto start = clock_type::now();
        int rc = getaddrinfo("silent.lumora.test", nullptr, &hints, &found);
        long waited_ms = static_cast<long>(seconds_since(start) * 1000);
        if (rc == 0)
            return 13;
        // The resolver's own wait, read from the same configuration (a
        // quarter second of leeway for the lookup's own work).
        if (lm_probe::configured_lookup_ms() < waited_ms - 250)
            return 15;
        if (lm_probe::helper_limit_ms() < waited_ms + 2 * lm_probe::kWaitMs)
            return 17;
        return 0;
    });
    EXPECT_EQ(0, code);
    unlink((dir + "/resolv.conf").c_str());
    unlink((dir + "/hosts").c_str());
    rmdir(dir.c_str());
}
