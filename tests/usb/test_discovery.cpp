// Finding the reader through sysfs and usbfs, against the emulated bus.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_reader.h"
#include "usb/discovery.h"

using lumora_fake::device_descriptor;
using lumora_fake::fake_reader;
using lumora_fake::reader_options;

namespace {

std::vector<unsigned char> reader_descriptor(uint8_t iproduct = 2)
{
    return device_descriptor(0x5345, 0x1234, iproduct);
}

struct numbers {
    int bus = -1;
    int dev = -1;
};

numbers match_of(lm_discovery& dis)
{
    numbers n;
    if (dis.get_dev_number_result(&n.bus, &n.dev) != 0)
        n = numbers();
    return n;
}

bool host_has_usbfs(const char* path)
{
    DIR* d = opendir(path);
    if (d)
        closedir(d);
    return d != nullptr;
}

class DiscoveryTest : public ::testing::Test {
protected:
    void start(reader_options opt = reader_options())
    {
        reader.reset(new fake_reader(opt));
        ASSERT_TRUE(reader->ok()) << reader->error();
    }
    std::unique_ptr<fake_reader> reader;
    lm_discovery dis;
};

TEST_F(DiscoveryTest, FindsTheReaderAmongOtherDevicesAndSkipsInterfaces)
{
    reader_options opt;
    opt.extra_devices = true;  // usb1, 1-2, and 1-0:1.0 / 1-1:1.0 without busnum
    opt.iproduct = 5;
    start(opt);
    EXPECT_EQ(nullptr, dis.get_usb_path_result());
    EXPECT_EQ(-1, dis.get_dev_number_result(nullptr, nullptr));
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_STREQ("/dev/bus/usb", dis.get_usb_path_result());
    numbers n = match_of(dis);
    EXPECT_EQ(1, n.bus);
    EXPECT_EQ(2, n.dev);
    EXPECT_EQ(5, dis.get_iproduct());
    EXPECT_STREQ("1-1", dis.m_lumora_device->dev_name);
    EXPECT_TRUE(lm_list_empty(&dis.m_dis_head));
    char node[LM_PATH_MAX];
    uint8_t iproduct = 0;
    ASSERT_EQ(0, dis.get_node_path_result(node, &iproduct));
    EXPECT_STREQ("/dev/bus/usb/001/002", node);
    EXPECT_EQ(5, iproduct);
    // Attached: the next tests only open the node.
    EXPECT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(0, dis.get_device_connect_status());
}

TEST_F(DiscoveryTest, FirstReaderInDirectoryOrderWins)
{
    start();
    reader->add_sysfs_entry("2-1", "2", "9", reader_descriptor(3));
    reader->add_sysfs_entry("3-4", "3", "4", reader_descriptor(4));
    // The order is the file system's; take it from the directory itself.
    std::string first;
    DIR* d = opendir("/sys/bus/usb/devices");
    ASSERT_NE(nullptr, d);
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "1-1" || name == "2-1" || name == "3-4") {
            first = name;
            break;
        }
    }
    closedir(d);
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(0, dis.discover_device());
    EXPECT_EQ(first, dis.m_lumora_device->dev_name);
}

TEST_F(DiscoveryTest, NumbersKeepTheirLow8BitsAndNodeGivesTheDescriptor)
{
    reader_options opt;
    opt.reader = false;
    start(opt);
    // busnum 300 is stored as 44; no descriptors file, so the node at
    // /dev/bus/usb/044/007 is read.
    reader->add_sysfs_entry("4-2", "300", "7", {});
    reader->add_node_file("/dev/bus/usb/044/007", reader_descriptor());
    ASSERT_EQ(0, dis.get_device_connect_status());
    numbers n = match_of(dis);
    EXPECT_EQ(44, n.bus);
    EXPECT_EQ(7, n.dev);
    EXPECT_EQ(0, dis.m_lumora_device->has_device_desc_file);
}

TEST_F(DiscoveryTest, DescriptorReadFromTheEmulatedNode)
{
    reader_options opt;
    opt.descriptors_file = false;
    opt.iproduct = 9;
    start(opt);
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(9, dis.get_iproduct());
    EXPECT_EQ(0, dis.m_lumora_device->has_device_desc_file);
}

TEST_F(DiscoveryTest, LongNamesAreCutTo17Characters)
{
    // Read through its node, a long-named reader is found, its name cut.
    reader_options opt;
    opt.sys_name = "1-1.2.3.4.5.6.7.8.9";
    opt.descriptors_file = false;
    start(opt);
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_STREQ("1-1.2.3.4.5.6.7.8", dis.m_lumora_device->dev_name);
    EXPECT_EQ(17u, strlen(dis.m_lumora_device->dev_name));
}

TEST_F(DiscoveryTest, LongNamedEntriesWithADescriptorsFileAreReadInFull)
{
    // A deep hub chain elsewhere on the machine does not hide the reader,
    // and a reader at the end of one is found, its stored name cut.
    reader_options opt;
    opt.sys_name = "1-10.10.10.10.10.10";
    start(opt);
    reader->add_sysfs_entry("1-9.9.9.9.9.9.9.9.9", "1", "20", device_descriptor(1, 2, 0));
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(1, dis.m_lumora_device->has_device_desc_file);
    EXPECT_STREQ("1-10.10.10.10.10.", dis.m_lumora_device->dev_name);
    EXPECT_TRUE(lm_list_empty(&dis.m_dis_head));
}

TEST_F(DiscoveryTest, BrokenEntryFailsTheWholeEnumerationAndKeepsTheMatch)
{
    start();
    ASSERT_EQ(0, dis.get_device_connect_status());
    reader->add_sysfs_entry("5-1", nullptr, "3", device_descriptor(1, 2, 0));
    EXPECT_EQ(-1, dis.discover_device());
    EXPECT_EQ(1, match_of(dis).bus);
    EXPECT_EQ(2, match_of(dis).dev);
    EXPECT_TRUE(lm_list_empty(&dis.m_dis_head));
}

TEST_F(DiscoveryTest, FollowsTheReaderToANewDeviceNumber)
{
    start();
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(2, match_of(dis).dev);

    reader->leave();
    EXPECT_EQ(-1, dis.get_device_connect_status());
    // The root is cleared, the old match stays, and no node path is made of it.
    EXPECT_EQ(nullptr, dis.get_usb_path_result());
    EXPECT_EQ(2, match_of(dis).dev);
    char node[LM_PATH_MAX];
    EXPECT_EQ(-1, dis.get_node_path_result(node, nullptr));
    EXPECT_EQ(-1, dis.get_device_connect_status());

    reader->come_back(3);
    EXPECT_EQ(0, dis.get_device_connect_status());
    EXPECT_STREQ("/dev/bus/usb", dis.get_usb_path_result());
    EXPECT_EQ(3, match_of(dis).dev);
    ASSERT_EQ(0, dis.get_node_path_result(node, nullptr));
    EXPECT_STREQ("/dev/bus/usb/001/003", node);
}

// Two readers: the one followed is found again only at its own port (or by
// its serial), however the other one comes and goes meanwhile.
TEST_F(DiscoveryTest, FollowedReaderIsTheOnlyMatchWhateverElseIsAttached)
{
    reader_options first;
    first.serial = "AAA1";
    start(first);
    reader_options other;
    other.sys_name = "1-2";
    other.devnum = 20;
    other.serial = "BBB2";
    fake_reader second(other, *reader);
    ASSERT_TRUE(second.ok()) << second.error();

    // Not following anything: the first in directory order, and both counted.
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(2, dis.readers_listed());
    dis.set_followed("1-2", "");
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(20, match_of(dis).dev);
    EXPECT_EQ(1, dis.others_listed());
    char port[LM_PORT_MAX + 1], serial[LM_SERIAL_MAX + 1];
    ASSERT_EQ(0, dis.get_match_identity(port, serial));
    EXPECT_STREQ("1-2", port);
    EXPECT_STREQ("BBB2", serial);

    // The followed reader restarts: the other one is never taken for it.
    second.leave();
    EXPECT_EQ(-1, dis.get_device_connect_status());
    EXPECT_EQ(1, dis.others_listed());
    second.come_back(21);
    EXPECT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(21, match_of(dis).dev);

    // Its serial follows it into another port; another serial at its port
    // is another reader.
    dis.set_followed("1-9", "AAA1");
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(2, match_of(dis).dev);
    dis.set_followed("1-1", "CCC3");
    EXPECT_EQ(-1, dis.get_device_connect_status());
    EXPECT_EQ(2, dis.others_listed());

    // Following "the next reader found" takes the first and sticks to it.
    dis.set_followed("", "");
    ASSERT_EQ(0, dis.get_device_connect_status());
    ASSERT_EQ(0, dis.get_match_identity(port, nullptr));
    reader->leave();
    second.leave();
    EXPECT_EQ(-1, dis.get_device_connect_status());
    (std::string(port) == "1-1" ? second : *reader).come_back();
    EXPECT_EQ(-1, dis.get_device_connect_status());
}

TEST_F(DiscoveryTest, NoReaderNoMatch)
{
    reader_options opt;
    opt.reader = false;
    opt.extra_devices = true;
    start(opt);
    EXPECT_EQ(-1, dis.get_device_connect_status());
    EXPECT_EQ(nullptr, dis.get_usb_path_result());
    EXPECT_EQ(-1, dis.get_dev_number_result(nullptr, nullptr));
    EXPECT_EQ(0, dis.get_iproduct());
}

TEST_F(DiscoveryTest, ProcBusUsbServesWhenDevBusUsbIsMissing)
{
    reader_options opt;
    opt.proc_root = true;
    start(opt);
    if (host_has_usbfs("/dev/bus/usb"))
        GTEST_SKIP() << "this host has a real /dev/bus/usb";
    ASSERT_EQ(0, dis.get_device_connect_status());
    EXPECT_STREQ("/proc/bus/usb", dis.get_usb_path_result());
    EXPECT_EQ(0, dis.get_device_connect_status());
}

TEST_F(DiscoveryTest, PollAndWorkerMayTestTheConnectionAtOnce)
{
    start();
    std::atomic<bool> stop(false);
    std::atomic<int> attached(0);
    auto tester = [&] {
        while (!stop.load()) {
            if (dis.get_device_connect_status() == 0)
                ++attached;
            int bus, dev;
            if (dis.get_dev_number_result(&bus, &dev) == 0) {
                EXPECT_EQ(1, bus);
                EXPECT_TRUE(dev >= 2 && dev <= 6) << dev;
            }
            // Each failed open costs the preload library an fd slot: keep
            // the pace of a poll, only faster.
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    };
    std::thread poll(tester), worker(tester);
    for (int dev = 3; dev <= 6; ++dev) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        reader->leave();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        reader->come_back(dev);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stop = true;
    poll.join();
    worker.join();
    EXPECT_GT(attached.load(), 0);
    EXPECT_EQ(0, dis.get_device_connect_status());
    EXPECT_EQ(6, match_of(dis).dev);
}

TEST(ListHelpers, TailInsertionAndUnlinkKeepOrder)
{
    struct item {
        int value;
        lm_list_head link;
    } a{1, {}}, b{2, {}}, c{3, {}};
    lm_list_head head;
    lm_list_init(&head);
    EXPECT_TRUE(lm_list_empty(&head));
    lm_list_add_tail(&a.link, &head);
    lm_list_add_tail(&b.link, &head);
    lm_list_add_tail(&c.link, &head);
    std::vector<int> seen;
    for (lm_list_head* p = head.next; p != &head; p = p->next)
        seen.push_back(lm_list_entry(p, item, link)->value);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), seen);
    // An unlinked entry keeps its links, so a walk can step on from it.
    lm_list_del(&b.link);
    EXPECT_EQ(&c.link, b.link.next);
    EXPECT_EQ(&c.link, a.link.next);
    EXPECT_EQ(&a.link, c.link.prev);
    lm_discovery dis;
    uint16_t raw;
    const unsigned char le[2] = {0x45, 0x53};
    memcpy(&raw, le, 2);
    EXPECT_EQ(0x5345, dis.le16_to_host(raw));
}

} // namespace
