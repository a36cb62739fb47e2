// The usbfs transport and the flash frame, against the emulated reader.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "fake_reader.h"
#include "usb/transfer.h"
#include "usb/update.h"

using lumora_fake::fake_reader;
using lumora_fake::reader_options;

namespace {

// The facade owns its device objects through raw pointers.
static_assert(!std::is_copy_constructible<lm_update>::value, "lm_update is not copyable");
static_assert(!std::is_copy_assignable<lm_update>::value, "lm_update is not copyable");

std::vector<unsigned char> pattern(size_t n, unsigned seed = 1)
{
    std::vector<unsigned char> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<unsigned char>(x >> 16);
    }
    return v;
}

// The frame the reader must get, written out whole.
std::vector<unsigned char> frame_of(uint32_t addr, const std::vector<unsigned char>& payload)
{
    uint32_t len = uint32_t(payload.size() + 10), sum = 0;
    std::vector<unsigned char> f;
    for (uint32_t v : {addr, len})
        for (int i = 0; i < 4; ++i)
            f.push_back(static_cast<unsigned char>(v >> (8 * i)));
    f.insert(f.end(), payload.begin(), payload.end());
    for (unsigned char b : payload)
        sum += b;
    f.push_back(static_cast<unsigned char>(sum));
    f.push_back(static_cast<unsigned char>(sum >> 8));
    return f;
}

// Frame bytes for a payload: the URB count of a write follows from this.
int urbs_for(size_t frame_bytes)
{
    return int((frame_bytes + 16383) / 16384);
}

class TransferTest : public ::testing::Test {
protected:
    void start(reader_options opt = reader_options())
    {
        reader.reset(new fake_reader(opt));
        ASSERT_TRUE(reader->ok()) << reader->error();
        ASSERT_EQ(0, update.get_device_connect_status());
    }
    int write(uint32_t addr, std::vector<unsigned char>& data)
    {
        return update.write_flash(addr, data.data(), int(data.size()));
    }

    std::unique_ptr<fake_reader> reader;
    lm_update update;
};

TEST_F(TransferTest, BlockIsCutInto16KiBUrbsAndArrivesIntact)
{
    reader_options opt;
    opt.capture_wire = true;
    start(opt);
    std::vector<unsigned char> block = pattern(40000 - 10);
    ASSERT_EQ(0, write(0x200000, block));

    lumora_fake::reader_stats st = reader->stats();
    EXPECT_EQ((std::vector<int>{16384, 16384, 7232}), st.urb_lengths);
    EXPECT_EQ(1, st.claims);
    ASSERT_EQ(1u, reader->frames().size());
    lumora_fake::received_frame f = reader->frames()[0];
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(0x200000u, f.addr);
    EXPECT_EQ(40000u, f.length);
    EXPECT_EQ(block, f.payload);
    EXPECT_EQ(40000u, reader->wire().size());
    EXPECT_FLOAT_EQ(1.0f, update.get_progress());

    // A block that fills whole URBs, and the smallest frame.
    std::vector<unsigned char> exact = pattern(32768 - 10, 2);
    ASSERT_EQ(0, write(0x40000, exact));
    std::vector<unsigned char> tiny = {0x55};
    ASSERT_EQ(0, write(0x0, tiny));
    st = reader->stats();
    EXPECT_EQ((std::vector<int>{16384, 16384, 7232, 16384, 16384, 11}), st.urb_lengths);
    ASSERT_EQ(3u, reader->frames().size());
    EXPECT_TRUE(reader->frames()[1].ok);
    EXPECT_TRUE(reader->frames()[2].ok);
}

TEST_F(TransferTest, FrameBytesOnTheWire)
{
    reader_options opt;
    opt.capture_wire = true;
    start(opt);
    std::vector<unsigned char> payload = {0x01, 0x02, 0xFF};
    ASSERT_EQ(0, write(0x00040000, payload));
    std::vector<unsigned char> expected = {0x00, 0x00, 0x04, 0x00, 0x0D, 0x00, 0x00,
                                           0x00, 0x01, 0x02, 0xFF, 0x02, 0x01};
    EXPECT_EQ(expected, reader->wire());

    // 300 bytes of 0xFF sum to 76500 = 0x12AD4: only the low 16 bits go.
    std::vector<unsigned char> ff(300, 0xFF);
    ASSERT_EQ(0, write(0x3400000, ff));
    std::vector<unsigned char> wire = reader->wire();
    ASSERT_EQ(13u + 310u, wire.size());
    EXPECT_EQ(0xD4, wire[wire.size() - 2]);
    EXPECT_EQ(0x2A, wire[wire.size() - 1]);
    // Address and length little endian.
    EXPECT_EQ((std::vector<unsigned char>{0x00, 0x00, 0x40, 0x03, 0x36, 0x01, 0x00, 0x00}),
              std::vector<unsigned char>(wire.begin() + 13, wire.begin() + 21));

    // Bytes of 0x80 and above count as 128..255, not as negative values.
    std::vector<unsigned char> high = {0x80, 0x90, 0x01};
    ASSERT_EQ(0, write(0x0, high));
    ASSERT_EQ(3u, reader->frames().size());
    EXPECT_EQ(0x80u + 0x90u + 0x01u, reader->frames()[2].sum_field);
    EXPECT_TRUE(reader->frames()[2].ok);

    // The largest byte everywhere: every partial sum is at its highest, over
    // the first URB, whole middle URBs and a last one of odd length.
    std::vector<unsigned char> full(3 * 16384 + 1001, 0xFF);
    ASSERT_EQ(0, write(0x0, full));
    ASSERT_EQ(4u, reader->frames().size());
    EXPECT_EQ((full.size() * 0xFF) & 0xFFFF, reader->frames()[3].sum_field);
    EXPECT_TRUE(reader->frames()[3].ok);
}

TEST_F(TransferTest, TwentyMiBStreamsThroughAWindowOf64Urbs)
{
    start();
    std::vector<unsigned char> block = pattern(20u << 20, 7);
    const size_t frame_bytes = block.size() + 10;
    EXPECT_FLOAT_EQ(0.0f, update.get_progress());

    // Progress seen by another thread moves in whole URBs and never back.
    std::atomic<bool> done(false);
    std::vector<float> seen;
    std::thread watcher([&] {
        while (!done.load()) {
            seen.push_back(update.get_progress());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    int rc = write(0x1200000, block);
    done = true;
    watcher.join();
    ASSERT_EQ(0, rc);

    lumora_fake::reader_stats st = reader->stats();
    EXPECT_EQ(urbs_for(frame_bytes), int(st.urb_lengths.size()));
    EXPECT_EQ(64, st.max_in_flight);
    EXPECT_EQ(10, st.urb_lengths.back());
    // Nothing copied: every URB between the first and the last is the image
    // itself, where its bytes lie in the frame (after the 8-byte header).
    ASSERT_EQ(st.urb_lengths.size(), st.urb_buffers.size());
    const unsigned long image = reinterpret_cast<unsigned long>(block.data());
    for (size_t k = 1; k + 1 < st.urb_buffers.size(); ++k)
        ASSERT_EQ(image + k * 16384 - 8, st.urb_buffers[k]) << "URB " << k;
    EXPECT_NE(image, st.urb_buffers.front());
    ASSERT_EQ(1u, reader->frames().size());
    EXPECT_TRUE(reader->frames()[0].ok);
    EXPECT_TRUE(reader->frames()[0].payload == block);
    EXPECT_FLOAT_EQ(1.0f, update.get_progress());

    const double step = 16384.0 / double(frame_bytes);
    float last = 0.0f;
    for (float p : seen) {
        EXPECT_GE(p, last);
        last = p;
        double urbs = p / step;
        if (p < 1.0f) {
            EXPECT_NEAR(urbs, std::round(urbs), 1e-2) << p;
        }
    }
}

TEST_F(TransferTest, FramesAtTheRingsEdgesArriveByteForByte)
{
    // Frames of exactly the ring, one URB past it, and one byte past that.
    reader_options opt;
    opt.capture_wire = true;
    start(opt);
    std::vector<unsigned char> expected;
    std::vector<int> lengths;
    std::vector<int> frame_sizes;
    for (int extra : {0, 16384, 16385})
        frame_sizes.push_back(64 * 16384 + extra);
    // The frame's own edges: one whole URB, the sum split over two URBs, the
    // sum alone in the last URB, a middle URB ending in the sum's first byte.
    for (int size : {16384, 16385, 16386, 32769})
        frame_sizes.push_back(size);
    for (int size : frame_sizes) {
        std::vector<unsigned char> block = pattern(size - 10, size - 64 * 16384);
        ASSERT_EQ(0, write(0x40000, block));
        std::vector<unsigned char> f = frame_of(0x40000, block);
        expected.insert(expected.end(), f.begin(), f.end());
        lengths.insert(lengths.end(), urbs_for(f.size()) - 1, 16384);
        lengths.push_back(int(f.size() - 1) % 16384 + 1);
    }
    EXPECT_EQ(lengths, reader->stats().urb_lengths);
    EXPECT_TRUE(expected == reader->wire());
    ASSERT_EQ(frame_sizes.size(), reader->frames().size());
    for (const lumora_fake::received_frame& f : reader->frames())
        EXPECT_TRUE(f.ok) << f.length;
}

TEST_F(TransferTest, UrbFailingAfterTheRingWrappedDiscardsWhatIsInFlight)
{
    // URB 100 fails with URBs 101 to 163 behind it, in slots already reused.
    reader_options opt;
    opt.fail_urb = 100;
    opt.capture_wire = true;
    start(opt);
    std::vector<unsigned char> block = pattern(200 * 16384 - 10, 5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, write(0x0, block));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    lumora_fake::reader_stats st = reader->stats();
    EXPECT_EQ(163, st.submits);
    EXPECT_EQ(100, st.reaps);
    EXPECT_EQ(63, st.discards);
    EXPECT_TRUE(reader->frames().empty());
    std::vector<unsigned char> f = frame_of(0x0, block);
    EXPECT_TRUE(reader->wire() == std::vector<unsigned char>(f.begin(), f.begin() + 99 * 16384));
    EXPECT_FLOAT_EQ(99.0f / 200.0f, update.get_progress());

    ASSERT_EQ(0, write(0x0, block));
    ASSERT_EQ(1u, reader->frames().size());
    EXPECT_TRUE(reader->frames()[0].ok);
}

TEST_F(TransferTest, FailedThirdSubmitDiscardsTheTwoBeforeIt)
{
    reader_options opt;
    opt.fail_submit = 3;
    start(opt);
    std::vector<unsigned char> block = pattern(5 * 16384 - 10);
    testing::internal::CaptureStderr();
    int rc = write(0x0, block);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("submit urb failure\n", err);
    lumora_fake::reader_stats st = reader->stats();
    EXPECT_EQ(3, st.submits);
    EXPECT_EQ(2, st.discards);
    EXPECT_TRUE(reader->frames().empty());
}

TEST_F(TransferTest, SubmitFailingAfterTheWindowMovedDiscardsOnlyUrbsInFlight)
{
    // The 70th submit happens after 6 URBs were reaped: 63 are then in flight.
    reader_options opt;
    opt.fail_submit = 70;
    start(opt);
    std::vector<unsigned char> block = pattern(100 * 16384);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, write(0x0, block));
    EXPECT_EQ("submit urb failure\n", testing::internal::GetCapturedStderr());
    lumora_fake::reader_stats st = reader->stats();
    EXPECT_EQ(6, st.reaps);
    EXPECT_EQ(63, st.discards);
}

TEST_F(TransferTest, FailedUrbDiscardsTheRestAndTheNextWriteStartsAfresh)
{
    reader_options opt;
    opt.fail_frame = 1;
    start(opt);
    std::vector<unsigned char> block = pattern(5 * 16384 - 10);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, write(0x0, block));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    lumora_fake::reader_stats st = reader->stats();
    EXPECT_EQ(1, st.reaps);
    EXPECT_EQ(4, st.discards);
    EXPECT_TRUE(reader->frames().empty());
    EXPECT_FLOAT_EQ(0.0f, update.get_progress());

    ASSERT_EQ(0, write(0x0, block));
    ASSERT_EQ(1u, reader->frames().size());
    EXPECT_TRUE(reader->frames()[0].ok);
    EXPECT_EQ(2, reader->stats().claims);
}

TEST_F(TransferTest, UrbThatNeverCompletesTimesOut)
{
    reader_options opt;
    opt.never_complete = 2;
    start(opt);
    std::vector<unsigned char> block = pattern(3 * 16384 - 10);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, write(0x0, block));
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(waited, std::chrono::seconds(10));  // a hang guard, not a speed check
    EXPECT_EQ(1, reader->stats().reaps);
    // The first URB counted; the transfer did not.
    EXPECT_NEAR(16384.0 / (3 * 16384), update.get_progress(), 1e-6);
    EXPECT_EQ(0, write(0x0, block));
}

TEST_F(TransferTest, ShortUrbStopsTheStreamAtOnce)
{
    // Nothing after the short URB is submitted, and the 63 URBs in flight
    // behind it are discarded.
    reader_options opt;
    opt.short_urb = 1;
    start(opt);
    std::vector<unsigned char> block = pattern(100 * 16384);
    EXPECT_EQ(-1, write(0x0, block));
    lumora_fake::reader_stats st = reader->stats();
    EXPECT_EQ(64, st.submits);
    EXPECT_EQ(1, st.reaps);
    EXPECT_EQ(63, st.discards);
    EXPECT_TRUE(reader->frames().empty());
    EXPECT_FLOAT_EQ(0.0f, update.get_progress());
}

TEST_F(TransferTest, EmptyOrNegativeBlockSendsNothing)
{
    start();
    std::vector<unsigned char> block = pattern(16);
    EXPECT_EQ(2, update.write_flash(0x0, block.data(), 0));
    EXPECT_EQ(-1, update.write_flash(0x0, block.data(), -5));
    EXPECT_EQ(0, reader->stats().claims);
    EXPECT_EQ(0, reader->stats().submits);
}

TEST(TransferNoReader, EmptyBlockNeedsNoReaderAndFailuresOpenNothing)
{
    reader_options opt;
    opt.reader = false;
    fake_reader reader(opt);
    ASSERT_TRUE(reader.ok()) << reader.error();
    lm_update update;
    unsigned char byte = 1;
    EXPECT_EQ(2, update.write_flash(0x0, &byte, 0));
    EXPECT_EQ(-1, update.get_device_connect_status());
    EXPECT_EQ(-1, update.write_flash(0x0, &byte, 1));
    EXPECT_EQ(-1, update.get_lumora_buffer_size());
    EXPECT_EQ(0.0f, update.get_progress());
}

TEST_F(TransferTest, RefusedClaimFailsAndClosesTheNode)
{
    reader_options opt;
    opt.refuse_claim = true;
    start(opt);
    std::vector<unsigned char> block = pattern(100);
    EXPECT_EQ(-1, write(0x0, block));
    EXPECT_EQ(-1, write(0x0, block));
    EXPECT_EQ(2, reader->stats().claims);
    EXPECT_EQ(0, reader->stats().submits);
    EXPECT_EQ(-1, update.m_pTrans->m_fd);
}

TEST_F(TransferTest, AfterALostReaderNothingIsOpened)
{
    start();
    reader->leave();
    EXPECT_EQ(-1, update.get_device_connect_status());
    reader->come_back(0);  // back, but no connection test has found it yet
    std::vector<unsigned char> block = pattern(100);
    EXPECT_EQ(-1, write(0x0, block));
    EXPECT_EQ(-1, update.get_lumora_buffer_size());
    EXPECT_EQ(0, reader->stats().claims);
    EXPECT_EQ(0, reader->stats().string_requests);
    ASSERT_EQ(0, update.get_device_connect_status());
    EXPECT_EQ(0, write(0x0, block));
}

TEST_F(TransferTest, UnplugDuringAStreamFailsTheWrite)
{
    start();
    std::vector<unsigned char> block = pattern(200u << 20 >> 3, 3);  // 25 MiB
    std::thread unplug([&] {
        while (reader->stats().reaps < 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        reader->leave();
    });
    EXPECT_EQ(-1, write(0x0, block));
    unplug.join();
    EXPECT_TRUE(reader->frames().empty());
}

TEST_F(TransferTest, ReaderLeavingRightAfterTheLastCompletionHasTheWholeBlock)
{
    reader_options opt;
    opt.leave_at_urb = 3;
    start(opt);
    std::vector<unsigned char> block = pattern(3 * 16384 - 10);
    EXPECT_EQ(0, write(0x0, block));
    EXPECT_FALSE(reader->present());
    EXPECT_EQ(3, reader->stats().reaps);
    ASSERT_EQ(1u, reader->frames().size());
    EXPECT_TRUE(reader->frames()[0].ok);
    EXPECT_FLOAT_EQ(1.0f, update.get_progress());
}

struct variant_case {
    const char* product;
    int reply_bytes;
    int variant;
};

class VariantTest : public ::testing::TestWithParam<variant_case> {};

TEST_P(VariantTest, ProductStringSelectsTheVariant)
{
    reader_options opt;
    opt.product = GetParam().product;
    opt.product_reply_bytes = GetParam().reply_bytes;
    fake_reader reader(opt);
    ASSERT_TRUE(reader.ok()) << reader.error();
    lm_update update;
    ASSERT_EQ(0, update.get_device_connect_status());
    EXPECT_EQ(GetParam().variant, update.get_lumora_buffer_size());
    EXPECT_EQ(1, reader.stats().string_requests);
    EXPECT_EQ(0, reader.stats().claims);  // a control read claims nothing
    EXPECT_EQ(-1, update.m_pTrans->m_fd);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, VariantTest,
    ::testing::Values(variant_case{"ORVEX LUMORA64 UPDate", -1, 64},
                      variant_case{"ORVEX LUMORA64 UPDate rev.B", -1, 64},
                      variant_case{"ORVEX LUMORA64 UPDat", -1, 32},
                      variant_case{"Kavely Tra 4303", -1, -1},
                      variant_case{"Kavely Tra 4303 v2", -1, -1},
                      variant_case{"ORVEX LUMORA32 UPDate", -1, 32},
                      variant_case{"", -1, 32},
                      variant_case{"ORVEX LUMORA64 UPDate", 2, 32},
                      variant_case{"ORVEX LUMORA64 UPDate", 3, 32},
                      variant_case{"ORVEX LUMORA64 UPDate", 255, 64}));

// No answer is not an empty answer: the identification failed (-1), so no
// image is chosen for a reader that never said which one it is.
TEST(ControlRead, UnansweredProductStringIsAFailedIdentificationWithinOneSecond)
{
    reader_options opt;
    opt.product_unanswered = true;
    fake_reader reader(opt);
    ASSERT_TRUE(reader.ok()) << reader.error();
    lm_update update;
    ASSERT_EQ(0, update.get_device_connect_status());
    EXPECT_EQ(-1, update.get_lumora_buffer_size());
    EXPECT_EQ(1, reader.stats().string_requests);
    EXPECT_EQ(1000u, reader.stats().string_timeout_ms);
    EXPECT_EQ(-1, update.m_pTrans->m_fd);
}

TEST(ControlRead, LongestReplyGives126CharactersAndShortBuffersAreNotOverrun)
{
    reader_options opt;
    opt.product_reply_bytes = 255;
    fake_reader reader(opt);
    ASSERT_TRUE(reader.ok()) << reader.error();
    lm_update update;
    ASSERT_EQ(0, update.get_device_connect_status());
    ASSERT_EQ(0, update.open_dev());
    std::vector<unsigned char> text(256, 0xAA);
    ASSERT_EQ(0, update.m_pTrans->transfer_ctrl_data(2, 0, text.data(), int(text.size())));
    EXPECT_EQ(126u, strlen(reinterpret_cast<char*>(text.data())));
    EXPECT_EQ(0, memcmp(text.data(), "ORVEX LUMORA64 UPDate###", 24));

    // A caller's buffer shorter than the reply gets a cut, terminated text.
    std::vector<unsigned char> small(8, 0xAA);
    ASSERT_EQ(0, update.m_pTrans->transfer_ctrl_data(2, 0, small.data(), int(small.size())));
    EXPECT_STREQ("ORVEX L", reinterpret_cast<char*>(small.data()));
    EXPECT_EQ(-1, update.m_pTrans->transfer_ctrl_data(2, 0, text.data(), 4097));
    update.m_pTrans->close_lumora_dev();
}

} // namespace
