// The lumora-fake-reader harness as later suites use it: a real client runs
// as its child, against the emulated reader, across reconnects.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct run_result {
    int status = -1;
    std::string out;
};

run_result run(const std::string& args)
{
    std::string cmd = std::string(UMOCKDEV_WRAPPER_EXE) + " " + FAKE_READER_EXE + " " + args;
    run_result r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        r.out += buf;
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class HarnessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lumora-harness-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override
    {
        if (system(("rm -rf " + dir).c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << dir;
    }
    std::string dir;
};

TEST_F(HarnessTest, ThreeStagesAcrossRenumberingReconnects)
{
    // 2 MiB per stage: more than one window of URBs.
    std::string args = "--log " + dir + "/log --frames-dir " + dir +
                       "/frames --max-inflight-log --leave-after 100 --return-after 400 -- " +
                       FLASH_PROBE_EXE + " write 3 2097152 " + dir;
    run_result r = run(args);
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ("stage 1 rc=0\nstage 2 rc=0\nstage 3 rc=0\n", r.out);

    std::string log = slurp(dir + "/log");
    const char* expected[] = {
        "claim\n",
        "frame 1 addr=0x00000000 len=2097162 payload=2097152 sum=0x[0-9a-f]{4} ok=1\n",
        "leave devnum=2\n",
        "return devnum=3\n",
        "frame 2 addr=0x03400000 len=2097162 payload=2097152 sum=0x[0-9a-f]{4} ok=1\n",
        "leave devnum=3\n",
        "return devnum=4\n",
        "frame 3 addr=0x00040000 len=2097162 payload=2097152 sum=0x[0-9a-f]{4} ok=1\n",
        "max-inflight 64\n",
    };
    size_t at = 0;
    for (const char* line : expected) {
        std::smatch m;
        std::string rest = log.substr(at);
        ASSERT_TRUE(std::regex_search(rest, m, std::regex(line))) << line << "in:\n" << log;
        at += m.position(0) + m.length(0);
    }
    for (int k = 1; k <= 3; ++k) {
        char sent[64], got[64];
        snprintf(sent, sizeof sent, "/sent-%02d.bin", k);
        snprintf(got, sizeof got, "/frames/frame-%02d.bin", k);
        std::string payload = slurp(dir + sent);
        EXPECT_EQ(2097152u, payload.size());
        EXPECT_TRUE(payload == slurp(dir + got)) << "frame " << k;
    }
}

TEST_F(HarnessTest, ReaderOptionsReachTheClient)
{
    std::string probe = std::string(" -- ") + FLASH_PROBE_EXE + " variant";
    EXPECT_EQ("connect=0 variant=64\n", run(probe).out);
    EXPECT_EQ("connect=0 variant=-1\n", run("--product 'Kavely Tra 4303'" + probe).out);
    EXPECT_EQ("connect=0 variant=32\n", run("--product-reply-bytes 2" + probe).out);
    EXPECT_EQ("connect=0 variant=64\n",
              run("--no-descriptors-file --extra-devices --bus 3 --devnum 17" + probe).out);
    EXPECT_EQ("connect=-1 variant=-1\n", run("--no-reader" + probe).out);
    EXPECT_EQ("connect=-1 variant=-1\n", run("--attach-after 5" + probe).out);
}

TEST_F(HarnessTest, FailuresReachTheClientAndTheLog)
{
    std::string write = std::string(" -- ") + FLASH_PROBE_EXE + " write 1 100000 " + dir;
    EXPECT_EQ("stage 1 rc=-1\n", run("--refuse-claim" + write).out);
    EXPECT_EQ("stage 1 rc=-1\n", run("--fail-submit 2" + write).out);
    EXPECT_EQ("stage 1 rc=-1\n", run("--never-complete 3" + write).out);
    run_result r = run("--log " + dir + "/log --short-urb 1" + write);
    EXPECT_EQ("stage 1 rc=-1\n", r.out);
    EXPECT_NE(std::string::npos, slurp(dir + "/log").find("abort addr=0x00000000 len=100010"))
        << slurp(dir + "/log");
}

TEST_F(HarnessTest, ExitStatusIsTheChildsAndBadOptionsAreRefused)
{
    EXPECT_EQ(7, run("-- sh -c 'exit 7'").status);
    EXPECT_EQ(0, run("--reconnect none -- true").status);
    EXPECT_EQ(2, run("--reconnect sideways -- true").status);
    EXPECT_EQ(2, run("--fail-submit").status);
    EXPECT_EQ(2, run("true").status);
}

} // namespace
