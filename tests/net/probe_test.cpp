// Reachability probe against the namespace's own loopback "server".
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "net/download.h"
#include "net/probe_helper.h"
#include "tests/net/net_support.h"

using nettest::seconds_since;
using clock_type = std::chrono::steady_clock;

namespace {

const char kLoopback[] = "127.0.0.1";

// What the capable helper answers in the same namespace.
int helper_result()
{
    return lm_probe::run_helper(LUMORA_PROBE_HELPER, lm_probe::helper_limit_ms());
}

// Gives the calling (child) process its own view of /etc/hosts, kept in dir.
bool use_hosts_file(const std::string& dir, const std::string& content)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    nettest::write_file(dir + "/hosts", content);
    return mount((dir + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
}

// True when an ICMP echo request is waiting on the raw socket.
bool echo_request_seen(int raw)
{
    unsigned char msg[256];
    ssize_t n;
    while ((n = recv(raw, msg, sizeof(msg), MSG_DONTWAIT)) > 0) {
        int ip_len = (msg[0] & 0x0F) * 4;
        if (n > ip_len && msg[ip_len] == 8)
            return true;
    }
    return false;
}

// Sends an 8-byte ICMP message to 127.0.0.1 from the local address from, as
// another host or another program on this machine would.
void send_icmp(const char* from, uint8_t type, uint8_t code, uint16_t id)
{
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (raw < 0)
        return;
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, from, &addr.sin_addr);
    alignas(unsigned short) unsigned char msg[8] = {type, code, 0, 0, 0, 0, 0, 0};
    memcpy(msg + 4, &id, sizeof(id));
    const unsigned short sum = lm_download().cal_chksum(reinterpret_cast<unsigned short*>(msg), sizeof(msg));
    memcpy(msg + 2, &sum, sizeof(sum));
    if (bind(raw, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(raw, msg, sizeof(msg), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    }
    close(raw);
}

// Waits on raw for this process's echo request and answers it with an echo
// reply, after another program's reply when foreign_first is set.
void answer_echo(int raw, bool foreign_first)
{
    const uint16_t id = static_cast<uint16_t>(getpid() & 0xFFFF);
    unsigned char msg[256];
    pollfd p = {raw, POLLIN, 0};
    while (poll(&p, 1, 3000) > 0) {
        ssize_t n = recv(raw, msg, sizeof(msg), 0);
        int ip_len = (msg[0] & 0x0F) * 4;
        uint16_t got = 0;
        if (n < ip_len + 8 || msg[ip_len] != 8)
            continue;
        memcpy(&got, msg + ip_len + 4, sizeof(got));
        if (got != id)
            continue;
        if (foreign_first)
            send_icmp(kLoopback, 0, 0, static_cast<uint16_t>(id ^ 0x5A5A));
        send_icmp(kLoopback, 0, 0, id);
        return;
    }
}

}  // namespace

TEST(ProbeChecksum, InternetChecksumAndEchoRequestBytes)
{
    lm_download d;
    // The sum is of the words as they lie in memory, so the checksum goes
    // into the packet as the same two bytes on either byte order.
    alignas(unsigned short) unsigned char three[4] = {0x01, 0x02, 0x03, 0x00};
    const unsigned short sum = d.cal_chksum(reinterpret_cast<unsigned short*>(three), 3);
    unsigned char sum_bytes[2];
    memcpy(sum_bytes, &sum, sizeof(sum));
    EXPECT_EQ(0xFB, sum_bytes[0]);
    EXPECT_EQ(0xFD, sum_bytes[1]);

    // The identifier is kept in the host's order (replies are matched in the
    // same order): 34 12 on a little-endian host, 12 34 on a big-endian one,
    // and the checksum over those bytes C3 ED or E5 CB.
    const unsigned short id = 0x1234;
    unsigned char pkt[8];
    d.build_echo_request(pkt, id);
    unsigned char id_bytes[2];
    memcpy(id_bytes, &id, sizeof(id));
    const bool little_endian = id_bytes[0] == 0x34;
    const unsigned char expected[8] = {0x08, 0x00, static_cast<unsigned char>(little_endian ? 0xC3 : 0xE5),
                                       static_cast<unsigned char>(little_endian ? 0xED : 0xCB),
                                       id_bytes[0], id_bytes[1], 0x00, 0x00};
    EXPECT_EQ(0, memcmp(expected, pkt, sizeof(expected)));
    // A packet that carries its own checksum sums to zero.
    alignas(unsigned short) unsigned char copy[8];
    memcpy(copy, pkt, sizeof(copy));
    EXPECT_EQ(0, d.cal_chksum(reinterpret_cast<unsigned short*>(copy), 8));
}

TEST(Probe, PortUnreachableAnswersWithoutTheEcho)
{
    nettest::echo_silencer no_echo;  // so only the UDP probe can succeed
    lm_download d;
    EXPECT_EQ(0, d.DetectIP(kLoopback));
    EXPECT_EQ(0, d.get_internet_con_status());
    EXPECT_EQ(-1, d.SendPing(kLoopback));
    EXPECT_EQ(0, helper_result());
}

TEST(Probe, EchoAnswersWhenTheDatagramIsSwallowed)
{
    nettest::udp_sink sink;
    ASSERT_TRUE(sink.bound());
    lm_download d;
    EXPECT_EQ(-1, d.DetectIP(kLoopback));
    EXPECT_TRUE(sink.received_any());
    EXPECT_EQ(0, d.SendPing(kLoopback));  // passes over its own looped-back request
    auto start = clock_type::now();
    EXPECT_EQ(0, d.get_internet_con_status());
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_EQ(0, helper_result());
}

TEST(Probe, SilentServerIsUnreachableAndTheWaitEnds)
{
    nettest::udp_sink sink;
    nettest::echo_silencer no_echo;
    ASSERT_TRUE(sink.bound());
    lm_download d;
    auto start = clock_type::now();
    EXPECT_EQ(-1, d.get_internet_con_status());
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_EQ(-1, helper_result());
    EXPECT_EQ(-1, d.DetectIP("not an address"));
    EXPECT_EQ(-1, d.SendPing("not an address"));
}

TEST(Probe, UnrelatedIcmpDoesNotStretchTheUdpWait)
{
    nettest::udp_sink sink;
    ASSERT_TRUE(sink.bound());
    std::atomic<bool> stop{false};
    // Echo traffic of "another program" every 150 ms for up to 12 s.
    std::thread noise([&stop] {
        int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        lm_download helper;
        unsigned char pkt[8];
        helper.build_echo_request(pkt, 0x4242);
        for (int i = 0; i < 80 && !stop.load(); i++) {
            sendto(raw, pkt, sizeof(pkt), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        close(raw);
    });
    lm_download d;
    auto start = clock_type::now();
    int result = d.DetectIP(kLoopback);
    double took = seconds_since(start);
    stop.store(true);
    noise.join();
    EXPECT_EQ(-1, result);
    EXPECT_LT(took, 8.0);  // the noise alone would keep a restarting wait going for 12 s
}

TEST(Probe, PortUnreachableFromAnotherAddressIsIgnored)
{
    nettest::udp_sink sink;
    nettest::echo_silencer no_echo;
    ASSERT_TRUE(sink.bound());
    std::atomic<bool> stop{false};
    std::thread other_host([&stop] {
        for (int i = 0; i < 80 && !stop.load(); i++) {
            send_icmp("127.0.0.2", 3, 3, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    lm_download d;
    int result = d.DetectIP(kLoopback);
    stop.store(true);
    other_host.join();
    EXPECT_EQ(-1, result);
}

TEST(Probe, AnotherProgramsEchoReplyArrivingFirstFails)
{
    nettest::echo_silencer no_echo;  // the test answers instead of the namespace
    for (bool foreign_first : {false, true}) {
        int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        ASSERT_GE(raw, 0);
        std::thread responder(answer_echo, raw, foreign_first);
        lm_download d;
        int result = d.SendPing(kLoopback);
        responder.join();
        close(raw);
        EXPECT_EQ(foreign_first ? -1 : 0, result) << "foreign reply first: " << foreign_first;
    }
}

TEST(Probe, NameThatDoesNotResolveSendsNothing)
{
    lm_download d;
    char ip[16] = {0};
    EXPECT_EQ(-1, d.host2ip("no-such-host.invalid", ip));
    EXPECT_EQ(-1, d.host2ip("", ip));

    const std::string dir = nettest::make_temp_dir();
    int code = nettest::run_in_child([&dir] {
        if (!use_hosts_file(dir, "127.0.0.1 localhost\n100.100.100.100 wide.test\n"))
            return 10;
        lm_download probe;
        char wide[17];
        memset(wide, 0, 16);
        wide[16] = 'Z';
        if (probe.host2ip("wide.test", wide) != 0 || strcmp(wide, "100.100.100.100") != 0 || wide[16] != 'Z')
            return 11;
        nettest::udp_sink sink;
        int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (!sink.bound() || raw < 0)
            return 12;
        auto start = clock_type::now();
        if (probe.get_internet_con_status() != -1)
            return 13;
        if (seconds_since(start) > 5.0)
            return 14;
        if (sink.received_any() || echo_request_seen(raw))
            return 15;
        close(raw);
        return 0;
    });
    EXPECT_EQ(0, code);
    unlink((dir + "/hosts").c_str());
    rmdir(dir.c_str());
}

TEST(Probe, WithoutRawSocketPrivilegeTheServerIsUnreachable)
{
    lm_download d;
    char ip[16] = {0};
    ASSERT_EQ(0, d.host2ip(lm_download::m_host, ip));
    EXPECT_STREQ(kLoopback, ip);

    int code = nettest::run_in_child([] {
        const gid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
            return 10;
        lm_download probe;
        if (probe.DetectIP(kLoopback) != -1)
            return 11;
        if (probe.SendPing(kLoopback) != -1)
            return 12;
        if (probe.get_internet_con_status() != -1)
            return 13;
        return 0;
    });
    EXPECT_EQ(0, code);
}

TEST(ProbeHelper, MissingFailingOrHangingHelperMeansUnreachable)
{
    EXPECT_EQ(-1, lm_probe::run_helper("/nonexistent/lumora-updater-probe", lm_probe::helper_limit_ms()));
    EXPECT_EQ(-1, lm_probe::run_helper("/bin/false", lm_probe::helper_limit_ms()));
    const std::string dir = nettest::make_temp_dir();
    const std::string hanging = dir + "/hanging";
    nettest::write_file(hanging, "#!/bin/sh\nexec sleep 60\n");
    ASSERT_EQ(0, chmod(hanging.c_str(), 0755));
    auto start = clock_type::now();
    EXPECT_EQ(-1, lm_probe::run_helper(hanging.c_str(), 300));
    EXPECT_LT(seconds_since(start), 10.0);  // killed, not waited for
    unlink(hanging.c_str());
    rmdir(dir.c_str());
}

// Run by the second ctest entry, through netns-run --quiet-udp --no-echo.
TEST(NetnsRunOptions, QuietUdpAndNoEchoSilenceTheServer)
{
    lm_download d;
    char ip[16] = {0};
    ASSERT_EQ(0, d.host2ip(lm_download::m_host, ip));
    EXPECT_STREQ(kLoopback, ip);
    EXPECT_EQ(-1, d.DetectIP(kLoopback));
    EXPECT_EQ(-1, d.SendPing(kLoopback));
}
