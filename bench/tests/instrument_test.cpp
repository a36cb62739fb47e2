// Checks of the benchmarks' instruments: the emulated reader must count
// what is in flight and judge frames correctly, the reference client must
// stream what it is given, and the sysfs tree must hold as many entries as
// asked for; otherwise the figures in the report mean nothing.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <vector>

#include "reader_process.h"
#include "reference_client.h"
#include "usb/discovery.h"
#include "usb/update.h"

namespace {

class Instruments : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        lumora_fake::reader_options options;
        options.complete_at_once = true;
        options.keep_payloads = false;
        reader = new lumora_fake::reader_process(options);
        ASSERT_TRUE(reader->start());
    }
    static void TearDownTestSuite()
    {
        delete reader;
        reader = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(reader, nullptr);
        ASSERT_TRUE(reader->set_other_devices(0));
        reader->reset_counters();
    }

    static std::vector<unsigned char> frame_of(size_t payload_len)
    {
        std::vector<unsigned char> payload(payload_len);
        for (size_t i = 0; i < payload_len; ++i)
            payload[i] = static_cast<unsigned char>(i * 7 + 3);
        std::vector<unsigned char> frame(payload_len + 10);
        bench::build_frame(frame.data(), 0x40000, payload.data(), payload_len);
        return frame;
    }

    static lumora_fake::reader_process* reader;
};

lumora_fake::reader_process* Instruments::reader = nullptr;

int count_sysfs_usb_entries()
{
    DIR* dir = opendir("/sys/bus/usb/devices");
    if (!dir)
        return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            ++n;
    }
    closedir(dir);
    return n;
}

TEST_F(Instruments, ReferenceClientStreamsAFrameTheReaderAccepts)
{
    std::vector<unsigned char> frame = frame_of(39990);  // 40000 bytes: 16384, 16384, 7232
    ASSERT_EQ(bench::reference_stream(reader->node_path().c_str(), frame.data(), frame.size()), 0);
    lumora_fake::reader_counters c = reader->counters();
    EXPECT_EQ(c.frames_ok, 1);
    EXPECT_EQ(c.frames_bad, 0);
    EXPECT_EQ(c.urbs_submitted, 3);
    EXPECT_EQ(c.bytes_received, 40000);
    EXPECT_EQ(c.max_urbs_in_flight, 3);
    EXPECT_EQ(c.max_bytes_in_flight, 40000);
}

TEST_F(Instruments, InFlightCountsFollowTheClientsWindow)
{
    std::vector<unsigned char> frame = frame_of(10 * bench::kUrbBytes);
    ASSERT_EQ(bench::reference_stream(reader->node_path().c_str(), frame.data(), frame.size(), 2), 0);
    lumora_fake::reader_counters c = reader->counters();
    EXPECT_EQ(c.frames_ok, 1);
    EXPECT_EQ(c.urbs_submitted, 11);
    EXPECT_EQ(c.max_urbs_in_flight, 2);
    EXPECT_EQ(c.max_bytes_in_flight, 2L * bench::kUrbBytes);
}

TEST_F(Instruments, ReaderRejectsABadChecksumAndAWrongLength)
{
    std::vector<unsigned char> frame = frame_of(20000);
    frame[frame.size() - 1] ^= 0x01;
    ASSERT_EQ(bench::reference_stream(reader->node_path().c_str(), frame.data(), frame.size()), 0);
    lumora_fake::reader_counters c = reader->counters();
    EXPECT_EQ(c.frames_ok, 0);
    EXPECT_EQ(c.frames_bad, 1);

    reader->reset_counters();
    std::vector<unsigned char> shorter = frame_of(100);
    shorter[4] = 9;  // a length below the 10 bytes of header and checksum
    ASSERT_EQ(bench::reference_stream(reader->node_path().c_str(), shorter.data(), shorter.size()), 0);
    EXPECT_EQ(reader->counters().frames_ok, 0);
    EXPECT_GE(reader->counters().frames_bad, 1);
}

// A write that failed half way must not garble the next run's frame.
TEST_F(Instruments, ResetDropsAHalfSentFrame)
{
    std::vector<unsigned char> frame = frame_of(40000);
    ASSERT_EQ(bench::reference_stream(reader->node_path().c_str(), frame.data(), 20000), 0);
    EXPECT_EQ(reader->counters().frames_ok, 0);

    reader->reset_counters();
    ASSERT_EQ(bench::reference_stream(reader->node_path().c_str(), frame.data(), frame.size()), 0);
    lumora_fake::reader_counters c = reader->counters();
    EXPECT_EQ(c.frames_ok, 1);
    EXPECT_EQ(c.frames_bad, 0);
    EXPECT_EQ(c.bytes_received, 40010);
}

// The updater's failure paths rely on usbfs's answers: nothing to reap is
// EAGAIN, a discarded URB is reaped with -ENOENT, an unknown one is refused.
TEST_F(Instruments, ReapAndDiscardAnswerAsUsbfsDoes)
{
    int fd = open(reader->node_path().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* reaped = nullptr;
    errno = 0;
    EXPECT_EQ(ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), -1);
    EXPECT_EQ(errno, EAGAIN);

    std::vector<unsigned char> frame = frame_of(3 * bench::kUrbBytes - 10);
    usbdevfs_urb urbs[3] = {};
    for (int i = 0; i < 3; ++i) {
        urbs[i].type = USBDEVFS_URB_TYPE_BULK;
        urbs[i].endpoint = 3;
        urbs[i].buffer = frame.data() + i * bench::kUrbBytes;
        urbs[i].buffer_length = bench::kUrbBytes;
        ASSERT_EQ(ioctl(fd, USBDEVFS_SUBMITURB, &urbs[i]), 0);
    }
    EXPECT_EQ(reader->counters().max_urbs_in_flight, 3);
    EXPECT_EQ(ioctl(fd, USBDEVFS_DISCARDURB, &urbs[1]), 0);
    usbdevfs_urb stranger = {};
    EXPECT_EQ(ioctl(fd, USBDEVFS_DISCARDURB, &stranger), -1);

    const int expected_status[3] = {0, -ENOENT, 0};
    for (int i = 0; i < 3; ++i) {
        reaped = nullptr;
        ASSERT_EQ(ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), 0);
        ASSERT_EQ(reaped, &urbs[i]) << "URBs of one endpoint complete in order";
        EXPECT_EQ(urbs[i].status, expected_status[i]);
        EXPECT_EQ(urbs[i].actual_length, expected_status[i] == 0 ? bench::kUrbBytes : 0);
    }
    close(fd);
}

TEST_F(Instruments, UpdaterWritesThroughTheEmulatedReader)
{
    lm_update update;
    ASSERT_EQ(update.get_device_connect_status(), 0);
    EXPECT_EQ(update.get_lumora_buffer_size(), 64);

    std::vector<unsigned char> payload(3 * 1024 * 1024 + 5, 0xA5);
    reader->reset_counters();
    ASSERT_EQ(update.write_flash(0x40000, payload.data(), static_cast<int>(payload.size())), 0);
    lumora_fake::reader_counters c = reader->counters();
    EXPECT_EQ(c.frames_ok, 1);
    EXPECT_EQ(c.frames_bad, 0);
    EXPECT_EQ(c.bytes_received, static_cast<long>(payload.size()) + 10);
    long frame_bytes = static_cast<long>(payload.size()) + 10;
    EXPECT_EQ(c.urbs_submitted, (frame_bytes + bench::kUrbBytes - 1) / bench::kUrbBytes);
    EXPECT_GT(c.max_urbs_in_flight, 0);
}

TEST_F(Instruments, SysfsTreeGrowsAndShrinksAndStillHoldsTheReader)
{
    for (int entries : {20, 200, 1}) {
        ASSERT_TRUE(reader->set_other_devices(entries - 1));
        EXPECT_EQ(count_sysfs_usb_entries(), entries);
        lm_discovery discovery;
        EXPECT_EQ(discovery.discover_device(), 0) << entries << " entries";
        int bus = 0, device = 0;
        ASSERT_EQ(discovery.get_dev_number_result(&bus, &device), 0);
        EXPECT_EQ(bus, 1);
        EXPECT_EQ(device, 2);
    }
}

}  // namespace
