// The manifest scan on byte buffers, and whole downloads from the local server.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "net/download.h"
#include "tests/net/fake_update.h"
#include "tests/net/net_support.h"
#include "usb/update.h"

using nettest::fake_server;

namespace {

const char kCheckFailedLine[] = "Download: check device failed when download img\n";

struct scanned {
    int code;
    std::string host;
    std::string file;
};

scanned scan(const std::string& manifest, const char* variant = "64")
{
    char host[lm_download::kFieldSize];
    char file[lm_download::kFieldSize];
    memset(host, 'Q', sizeof(host));  // the scan must terminate what it writes
    memset(file, 'Q', sizeof(file));
    std::vector<char> exact(manifest.begin(), manifest.end());
    int code = lm_download::scan_manifest(exact.data(), static_cast<int>(exact.size()), variant, host, file);
    if (code != 0)
        return {code, "", ""};
    return {code, std::string(host, strnlen(host, sizeof(host))), std::string(file, strnlen(file, sizeof(file)))};
}

}  // namespace

TEST(ManifestScan, FindsTheVariantGroupInEitherOrder)
{
    const std::string both = "64\r\nhost64\r\n/p/64.bin\r\n32\r\nhost32\r\n/p/32.bin\r\n";
    const std::string reversed = "32\r\nhost32\r\n/p/32.bin\r\n64\r\nhost64\r\n/p/64.bin\r\n";
    for (const std::string& m : {both, reversed}) {
        scanned s64 = scan(m, "64");
        EXPECT_EQ(0, s64.code);
        EXPECT_EQ("host64", s64.host);
        EXPECT_EQ("/p/64.bin", s64.file);
        scanned s32 = scan(m, "32");
        EXPECT_EQ("host32", s32.host);
        EXPECT_EQ("/p/32.bin", s32.file);
    }
    // A lone carriage return ends a line too.
    EXPECT_EQ("/x", scan("64\rh\r/x\r").file);
}

TEST(ManifestScan, LinesMustMatchExactly)
{
    scanned lf_only = scan("64\nhost64\n/p/64.bin\n");
    EXPECT_EQ(0, lf_only.code);
    EXPECT_EQ("", lf_only.host);
    EXPECT_EQ("", lf_only.file);
    EXPECT_EQ(-1, scan(std::string(100, 'x') + "\n64\n" + std::string(200, 'y') + "\n").code);  // 260th byte

    scanned trailing_space = scan("64 \r\nhost64\r\n/p/64.bin\r\n");
    EXPECT_EQ("", trailing_space.host);
    EXPECT_EQ("", scan("64").host);  // a last line without a line end is never compared
    EXPECT_EQ("", scan("").host);
}

TEST(ManifestScan, TheLastLineNeedsNoLineEnd)
{
    EXPECT_EQ("/p/64.bin", scan("64\r\nh\r\n/p/64.bin").file);
    EXPECT_EQ("/p/64.bin", scan("64\r\nh\r\n/p/64.bin\r").file);  // never a CR in the path
    scanned no_path = scan("64\r\nhost64\r\n");
    EXPECT_EQ("host64", no_path.host);
    EXPECT_EQ("", no_path.file);
    scanned cut_host = scan("64\r\nhos");
    EXPECT_EQ("hos", cut_host.host);
    EXPECT_EQ("", cut_host.file);
}

TEST(ManifestScan, FieldsHoldAtMost259Characters)
{
    const std::string h259(259, 'h'), h260(260, 'h'), p259 = "/" + std::string(258, 'p');
    EXPECT_EQ(h259, scan("64\r\n" + h259 + "\r\n/p\r\n").host);
    EXPECT_EQ(-1, scan("64\r\n" + h260 + "\r\n/p\r\n").code);
    EXPECT_EQ(p259, scan("64\r\nh\r\n" + p259 + "\r\n").file);
    EXPECT_EQ(p259, scan("64\r\nh\r\n" + p259).file);
    EXPECT_EQ(-1, scan("64\r\nh\r\n" + p259 + "p\r\n").code);
    EXPECT_EQ(-1, scan(std::string(260, 'v') + "\r\n64\r\nh\r\n/p\r\n").code);
    EXPECT_EQ("h", scan(std::string(259, 'v') + "\r\n64\r\nh\r\n/p\r\n").host);
}

class Download : public testing::Test {
protected:
    void SetUp() override
    {
        root = nettest::make_temp_dir();
        image64 = nettest::pattern_bytes(30000, 64);
        image32 = nettest::pattern_bytes(20000, 32);
        nettest::write_file(root + "/img/lumora64.bin", image64);
        nettest::write_file(root + "/img/lumora32.bin", image32);
        nettest::write_file(root + lm_download::m_file,
                            "32\r\n127.0.0.1\r\n/img/lumora32.bin\r\n64\r\n" + std::string(lm_download::m_host) +
                                "\r\n/img/lumora64.bin\r\n");
        fake_update_set_variant(64);
        d.set_data(&update);
    }
    void TearDown() override
    {
        free(data);
        std::string cmd = "rm -rf '" + root + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }
    // Runs DownloadImage and returns what it printed.
    std::string download(int* result, int* cancel_flag = nullptr)
    {
        testing::internal::CaptureStdout();
        *result = d.DownloadImage(&data, cancel_flag ? cancel_flag : &cancel);
        return testing::internal::GetCapturedStdout();
    }
    std::string stored() { return std::string(data ? data : "", data ? d.getcurdatalen() : 0); }

    std::string root, image64, image32;
    lm_update update;
    lm_download d;
    char* data = nullptr;
    int cancel = 0;
};

TEST_F(Download, FetchesTheImageOfTheReadersVariant)
{
    fake_server server(root);
    ASSERT_TRUE(server.ready());
    int result = 1;
    EXPECT_EQ("", download(&result));
    EXPECT_EQ(0, result);
    EXPECT_TRUE(stored() == image64);
    EXPECT_EQ(64, d.get_cur_dev_version());

    // Again, over the buffer the first download left: starts from empty.
    fake_update_set_variant(32);
    download(&result);
    EXPECT_EQ(0, result);
    EXPECT_TRUE(stored() == image32);
    EXPECT_EQ(32, d.get_cur_dev_version());
}

TEST_F(Download, FailedManifestFetchKeepsTheVariantAndSaysSo)
{
    fake_server server(root, {"--fault", "404", "--fault-path", lm_download::m_file});
    ASSERT_TRUE(server.ready());
    int result = 0;
    EXPECT_EQ(kCheckFailedLine, download(&result));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(64, d.get_cur_dev_version());
}

TEST_F(Download, NoVariantOrNoMatchingLineFails)
{
    fake_server server(root);
    ASSERT_TRUE(server.ready());
    int result = 0;
    fake_update_set_variant(-1);
    EXPECT_EQ(kCheckFailedLine, download(&result));
    EXPECT_EQ(-1, result);

    lm_download unlinked;  // no device facade at all
    EXPECT_EQ(-1, unlinked.DownloadImage(&data, &cancel));

    nettest::write_file(root + lm_download::m_file, "16\r\n127.0.0.1\r\n/img/lumora64.bin\r\n");
    fake_update_set_variant(64);
    EXPECT_EQ("", download(&result));  // the scan ended; the empty host does not resolve
    EXPECT_EQ(-1, result);
}

// Through a proxy a host with a port (or user information) would reach
// whatever the proxy can reach, with the user's credentials: the manifest
// names a host and a path, nothing else, or the image is never asked for.
TEST_F(Download, ImageHostOrPathBeyondTheirFormIsNeverAsked)
{
    fake_server server(root);
    ASSERT_TRUE(server.ready());
    nettest::proxy_only_route proxy;
    ASSERT_TRUE(proxy.ready()) << proxy.log();
    setenv("http_proxy", "http://127.0.0.1:3128", 1);
    int result = 0;
    for (const char* group : {"127.0.0.1:80\r\n/img/lumora64.bin", "x@127.0.0.1\r\n/img/lumora64.bin",
                              "127.0.0.1\r\nimg/lumora64.bin"}) {
        nettest::write_file(root + lm_download::m_file, std::string("64\r\n") + group + "\r\n");
        EXPECT_EQ("", download(&result)) << group;
        EXPECT_EQ(-1, result) << group;
    }
    EXPECT_TRUE(server.log_has(std::string("GET ") + lm_download::m_file)) << server.log();
    EXPECT_EQ(std::string::npos, server.log().find("lumora64")) << server.log();
    EXPECT_EQ(std::string::npos, proxy.log().find("lumora64")) << proxy.log();

    nettest::write_file(root + lm_download::m_file, "64\r\n127.0.0.1\r\n/img/lumora64.bin\r\n");
    download(&result);
    unsetenv("http_proxy");
    EXPECT_EQ(0, result);  // the same route serves a proper manifest's image
    EXPECT_TRUE(stored() == image64);
}

TEST_F(Download, CancelDuringTheManifestIsAFailure)
{
    fake_server server(root, {"--fault", "stall", "--fault-path", lm_download::m_file});
    ASSERT_TRUE(server.ready());
    int result = 0;
    std::string printed;
    {
        nettest::delayed_cancel later(&cancel, 300);
        printed = download(&result);
    }
    EXPECT_EQ(-1, result);
    EXPECT_EQ(kCheckFailedLine, printed);
}

TEST_F(Download, CancelDuringTheImageIsACancel)
{
    fake_server server(root, {"--fault", "stall", "--fault-path", "/img/lumora64.bin"});
    ASSERT_TRUE(server.ready());
    int result = 0;
    std::string printed;
    {
        nettest::delayed_cancel later(&cancel, 300);
        printed = download(&result);
    }
    EXPECT_EQ(-2, result);
    EXPECT_EQ("", printed);
}
