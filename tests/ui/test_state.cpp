// What the wizard keeps between runs: files written whole or not at all,
// a journal that is trusted only when it checks out, an update cut short
// found again at the next start, and a history of bounded length.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "state/attempt.h"
#include "state/history.h"
#include "state/journal.h"
#include "state/state_dir.h"

namespace {

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// An image of variant 64 with all six blocks present, 16 bytes each.
std::string six_block_image()
{
    // The table's offsets and lengths are little-endian, whatever the host.
    std::string img(112 + 6 * 16, '\0');
    for (int i = 0; i < 6; ++i) {
        uint32_t off = 112 + 16 * i, len = 16;
        for (int b = 0; b < 4; ++b) {
            img[64 + 8 * i + b] = static_cast<char>(off >> (8 * b));
            img[68 + 8 * i + b] = static_cast<char>(len >> (8 * b));
        }
        memset(&img[off], 'a' + i, len);
    }
    return img;
}

// An update of image `img` into the reader at port 1-1, its first
// `confirmed` steps written, then the program died.
void interrupted_update(const std::string& img, int confirmed)
{
    lm_attempt first(lm_state_dir_open());
    first.begin();
    first.image_ready(img.data(), static_cast<int>(img.size()), 64, "h", "/p");
    first.set_reader("1-1", "S1");
    for (int k = 0; k < confirmed; ++k) {
        first.stage_started(k);
        first.stage_confirmed(k);
    }
}

// 0 when the folder holds an update to finish; `rec` is then its record.
int recovered(lm_attempt& attempt, lm_journal_record* rec)
{
    char* data = nullptr;
    int len = 0;
    int rc = attempt.recover(&data, &len, rec);
    free(data);
    return rc;
}

int recovered(lm_journal_record* rec)
{
    lm_attempt next(lm_state_dir_open());
    return recovered(next, rec);
}

class State : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lumora-state-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        const char* old = getenv("XDG_STATE_HOME");
        saved_env = old ? old : "";
        setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
        dir = lm_state_dir();
        ASSERT_EQ(dir, home + "/state/lumora-updater");
    }
    void TearDown() override
    {
        TearDownFd();
        setenv("XDG_STATE_HOME", saved_env.c_str(), 1);
        std::string cmd = "rm -rf '" + home + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string history() { return read_text(dir + "/" + LM_HISTORY_FILE); }
    // A descriptor of the folder, closed with the fixture.
    int fd()
    {
        if (dir_fd < 0)
            dir_fd = lm_state_dir_open();
        return dir_fd;
    }
    void TearDownFd()
    {
        if (dir_fd >= 0)
            close(dir_fd);
        dir_fd = -1;
    }

    std::string home, dir, saved_env;
    int dir_fd = -1;
};

TEST_F(State, FolderIsPrivateAndFilesAreReplacedWhole)
{
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    ASSERT_EQ(lm_write_atomic(fd(), "f", "first", 5), 0);
    ASSERT_EQ(lm_write_atomic(fd(), "f", "second", 6), 0);
    EXPECT_EQ(read_text(dir + "/f"), "second");
    ASSERT_EQ(stat((dir + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(system(("test $(ls -A '" + dir + "' | wc -l) -eq 1").c_str()), 0)
        << "a temporary file was left behind";

    // A write abandoned half-way leaves neither the file nor a temporary.
    std::string big(9u << 20, 'x');
    int quit = 1;
    EXPECT_NE(lm_write_atomic(fd(), "g", big.data(), big.size(), &quit), 0);
    EXPECT_FALSE(exists(dir + "/g"));
    EXPECT_NE(lm_write_atomic(-1, "f", "x", 1), 0);
    // A temporary file a crash left is taken away at the next start.
    ASSERT_EQ(system(("touch '" + dir + "/.tmp-image.bin-0badf00d' '" + dir + "/journal.Ab3dEf'").c_str()), 0);
    lm_remove_temporaries(fd());
    EXPECT_EQ(system(("test $(ls -A '" + dir + "' | wc -l) -eq 1").c_str()), 0)
        << "a temporary file outlived the start";
    // Something else than a folder of ours at the name is not used, and
    // one opened before is held on to, not the path.
    ASSERT_EQ(system(("mv '" + dir + "' '" + home + "/moved'").c_str()), 0);
    ASSERT_EQ(symlink(home.c_str(), dir.c_str()), 0);
    EXPECT_EQ(lm_state_dir(), "");
    EXPECT_EQ(lm_state_dir_open(), -1);
    ASSERT_EQ(lm_write_atomic(fd(), "h", "kept", 4), 0);
    EXPECT_EQ(read_text(home + "/moved/h"), "kept");
    EXPECT_FALSE(exists(home + "/h"));
}

TEST_F(State, JournalIsTrustedOnlyWhenWholeAndValid)
{
    lm_journal_record rec;
    rec.variant = 64;
    rec.host = "update.example";
    rec.path = "/img/a.bin";
    rec.size = 208;
    rec.sha256 = std::string(64, 'a');
    rec.planned = 0x3f;
    rec.done = rec.sent = rec.written = 0x07;
    rec.begun = 1;
    rec.port = "1-1.2";
    rec.serial = "LMR 0042";
    std::string text = lm_journal_format(rec);
    lm_journal_record back;
    ASSERT_EQ(lm_journal_parse(text.data(), text.size(), &back), 0);
    EXPECT_EQ(back.path, rec.path);
    EXPECT_EQ(back.done, 0x07);
    EXPECT_EQ(back.port, "1-1.2");
    EXPECT_EQ(back.serial, "LMR 0042");

    const std::string damaged[] = {
        text.substr(0, text.size() - 1),                         // cut short
        text + "done=1\n",                                       // a key twice
        std::string("x") + text,                                 // unknown format
        text.substr(0, text.find("sha256=") + 7) + "zz" + text.substr(text.find("sha256=") + 9),
        text.substr(0, text.find("variant=") + 8) + "16" + text.substr(text.find("variant=") + 10),
        text.substr(0, text.find("port=") + 5) + "../1" + text.substr(text.find("port=") + 10),
    };
    for (const std::string& bad : damaged)
        EXPECT_NE(lm_journal_parse(bad.data(), bad.size(), &back), 0) << bad;

    // The second format named no reader: it loads, following none.
    std::string second = "lumora-updater journal 2\n" + text.substr(text.find('\n') + 1);
    second.erase(second.find("port="));
    ASSERT_EQ(lm_journal_parse(second.data(), second.size(), &back), 0) << second;
    EXPECT_EQ(back.done, 0x07);
    EXPECT_EQ(back.port, "");
    // The first format counted a stage done once sent: nothing of it is
    // taken as confirmed, so a resume writes every stage again.
    std::string first = "lumora-updater journal 1\n" + second.substr(second.find('\n') + 1);
    first.erase(first.find("sent="), first.find('\n', first.find("sent=")) + 1 - first.find("sent="));
    ASSERT_EQ(lm_journal_parse(first.data(), first.size(), &back), 0) << first;
    EXPECT_EQ(back.done, 0);
    EXPECT_EQ(back.sent, 0x07);
}

// Killed after step 3 was sent, before the reader came back from it: the
// next start records the attempt as interrupted, offers the saved image
// with steps 1 and 2 done, and the new attempt writes 3 to 6.
TEST_F(State, InterruptedUpdateIsRecoveredAndFinished)
{
    std::string img = six_block_image();
    {
        lm_attempt first(lm_state_dir_open());
        first.begin();
        first.image_ready(img.data(), static_cast<int>(img.size()), 64, "h", "/p");
        for (int k = 0; k < 3; ++k) {
            first.stage_started(k);
            first.stage_sent(k);
            if (k < 2)
                first.stage_confirmed(k);
        }
    }  // no end(): the program died

    lm_attempt next(lm_state_dir_open());
    char* data = nullptr;
    int len = 0;
    lm_journal_record rec;
    ASSERT_EQ(next.recover(&data, &len, &rec), 0);
    EXPECT_EQ(std::string(data, len), img);
    free(data);
    EXPECT_EQ(rec.done, 0x03);
    std::vector<std::string> h = lines_of(history());
    ASSERT_EQ(h.size(), 1u);
    EXPECT_NE(h[0].find("\"result\":\"interrupted\""), std::string::npos) << h[0];
    EXPECT_NE(h[0].find("\"stages_sent\":[1,2,3],\"stages_written\":[1,2]"), std::string::npos)
        << h[0];

    // A second wizard (another session) finds the folder locked and
    // touches nothing.
    ASSERT_EQ(next.lock(), 0);
    {
        lm_attempt other(lm_state_dir_open());
        EXPECT_EQ(other.lock(), 1);
        char* none = nullptr;
        EXPECT_NE(other.recover(&none, &len, &rec), 0);
        EXPECT_EQ(none, nullptr);
    }
    EXPECT_EQ(lines_of(history()).size(), 1u);
    ASSERT_TRUE(exists(dir + "/" + LM_IMAGE_FILE));

    next.resume(rec);
    for (int k = 2; k < 6; ++k) {
        next.stage_sent(k);
        EXPECT_TRUE(exists(dir + "/" + LM_IMAGE_FILE)) << "removed before step " << k + 1
                                                        << " was confirmed";
        next.stage_confirmed(k);
    }
    EXPECT_FALSE(exists(dir + "/" + LM_IMAGE_FILE)) << "the image outlived the last stage";
    next.end(true);
    EXPECT_FALSE(exists(dir + "/" + LM_JOURNAL_FILE));
    h = lines_of(history());
    ASSERT_EQ(h.size(), 2u);
    EXPECT_NE(h[1].find("\"stages_written\":[3,4,5,6],\"result\":\"success\""), std::string::npos)
        << h[1];
    EXPECT_NE(h[1].find("\"image_url\":\"http://h/p\""), std::string::npos) << h[1];
}

// Declining the resume gives nothing up: a download that fails, or a kill
// before the new image is whole, leaves the saved update to be offered
// again (with the reader it went to); only a new image replaces it.
TEST_F(State, DeclinedUpdateStaysSavedUntilANewImageArrivesWhole)
{
    std::string img = six_block_image();
    interrupted_update(img, 2);
    lm_journal_record rec;
    {
        lm_attempt declined(lm_state_dir_open());
        ASSERT_EQ(recovered(declined, &rec), 0);
        declined.begin();  // "下载", and the download fails
        declined.set_variant(64);
        declined.end(false);
        declined.begin();  // "下载" again, and the program is killed
    }
    ASSERT_EQ(recovered(&rec), 0);
    EXPECT_EQ(rec.done, 0x03);
    EXPECT_EQ(rec.port, "1-1");
    EXPECT_EQ(rec.serial, "S1");
    std::vector<std::string> h = lines_of(history());
    ASSERT_EQ(h.size(), 3u) << history();
    EXPECT_NE(h[1].find("\"result\":\"cancelled\""), std::string::npos) << h[1];
    EXPECT_NE(h[2].find("\"result\":\"interrupted\""), std::string::npos) << h[2];
    EXPECT_NE(h[2].find("\"image_size\":0"), std::string::npos) << h[2];

    lm_attempt replaced(lm_state_dir_open());
    ASSERT_EQ(recovered(replaced, &rec), 0);
    replaced.begin();
    std::string other = img;
    other[200] = 'z';
    replaced.image_ready(other.data(), static_cast<int>(other.size()), 64, "h", "/q");
    replaced.end(false);  // nothing of it was written: nothing to finish
    EXPECT_NE(recovered(&rec), 0);
}

// A folder that cannot be written (read-only here; a full disk alike) never
// offers an older update after a newer one: a start that cannot mark the
// saved update as seen offers nothing.
TEST_F(State, UnwritableFolderNeverBringsBackAnOlderUpdate)
{
    std::string img = six_block_image();
    interrupted_update(img, 2);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs a mount namespace of its own (root)";
    ASSERT_EQ(mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
    lm_journal_record rec;
    {
        lm_attempt next(lm_state_dir_open());
        char* data = nullptr;
        int len = 0;
        EXPECT_NE(next.recover(&data, &len, &rec), 0);
        EXPECT_EQ(data, nullptr);
        std::string newer = img;
        newer[200] = 'z';
        next.begin();
        next.image_ready(newer.data(), static_cast<int>(newer.size()), 64, "h", "/q");
        for (int k = 0; k < 6; ++k) {
            next.stage_started(k);
            next.stage_confirmed(k);
        }
        next.end(true);
    }
    EXPECT_NE(recovered(&rec), 0) << "the older update came back";
    umount2(dir.c_str(), MNT_DETACH);
}

TEST_F(State, SavedImageThatDoesNotCheckOutIsDiscarded)
{
    std::string img = six_block_image();
    // A flipped byte (SHA-256), and an image whose plan is not the recorded one.
    for (int damage = 0; damage < 2; ++damage) {
        {
            lm_attempt first(lm_state_dir_open());
            first.begin();
            first.image_ready(img.data(), static_cast<int>(img.size()), 64, "h", "/p");
            first.stage_started(0);
        }
        lm_journal_record rec;
        ASSERT_EQ(lm_journal_load(fd(), &rec), 0);
        if (damage == 0) {
            std::string bad = img;
            bad[150] ^= 1;
            ASSERT_EQ(lm_journal_save_image(fd(), bad.data(), bad.size()), 0);
        } else {
            rec.planned = 0x1f;
            ASSERT_EQ(lm_journal_save(fd(), rec), 0);
        }
        lm_attempt next(lm_state_dir_open());
        char* data = nullptr;
        int len = 0;
        EXPECT_NE(next.recover(&data, &len, &rec), 0) << damage;
        EXPECT_EQ(data, nullptr);
        EXPECT_FALSE(exists(dir + "/" + LM_IMAGE_FILE)) << damage;
        EXPECT_FALSE(exists(dir + "/" + LM_JOURNAL_FILE)) << damage;
    }
    // An image whose writing never began is not kept past the attempt.
    lm_attempt plain(lm_state_dir_open());
    plain.begin();
    plain.image_ready(img.data(), static_cast<int>(img.size()), 64, "h", "/p");
    plain.set_error("错误\"1\"\n");
    plain.end(false);
    EXPECT_FALSE(exists(dir + "/" + LM_IMAGE_FILE));
    std::vector<std::string> h = lines_of(history());
    EXPECT_NE(h.back().find("\"result\":\"failed\",\"error\":\"错误\\\"1\\\"\\n\"}"), std::string::npos)
        << h.back();
}

TEST_F(State, HistoryKeepsTheNewest200)
{
    for (int i = 0; i < 205; ++i) {
        lm_history_entry e;
        e.started = std::to_string(i);
        ASSERT_EQ(lm_history_append(fd(), e), 0);
    }
    std::vector<std::string> h = lines_of(history());
    ASSERT_EQ(h.size(), 200u);
    EXPECT_EQ(h.front().find("{\"started\":\"5\""), 0u) << h.front();
    EXPECT_EQ(h.back().find("{\"started\":\"204\""), 0u) << h.back();
    EXPECT_EQ(lm_json_string(std::string("a\\b\x01\t", 5)), "\"a\\\\b\\u0001\\t\"");
    // Whatever the manifest held, the file stays UTF-8: a stray byte, an
    // overlong form, a surrogate and a cut sequence each become U+FFFD.
    EXPECT_EQ(lm_json_string("墨\xff/\xc0\xaf/\xed\xa0\x80/\xe5\xa2"),
              "\"墨\uFFFD/\uFFFD\uFFFD/\uFFFD\uFFFD\uFFFD/\uFFFD\uFFFD\"");
}

// An attempt that dies during the download is in the history; FIFOs at
// the files' names neither stall the start nor stop the next attempt.
TEST_F(State, EveryAttemptIsRecordedWhateverLiesAtTheNames)
{
    {
        // Killed while downloading; a quit during the save keeps nothing.
        lm_attempt first(lm_state_dir_open());
        first.begin();
        std::string img = six_block_image();
        int quit = 1;
        first.image_ready(img.data(), static_cast<int>(img.size()), 64, "h", "/p", &quit);
        EXPECT_FALSE(exists(dir + "/" + LM_IMAGE_FILE));
    }
    const char* names[] = {LM_JOURNAL_FILE, LM_IMAGE_FILE, LM_HISTORY_FILE};
    for (int round = 0; round < 2; ++round) {
        lm_attempt next(lm_state_dir_open());
        char* data = nullptr;
        int len = 0;
        lm_journal_record rec;
        EXPECT_NE(next.recover(&data, &len, &rec), 0);
        EXPECT_FALSE(exists(dir + "/" + LM_JOURNAL_FILE));
        if (round == 0) {
            std::vector<std::string> h = lines_of(history());
            ASSERT_EQ(h.size(), 1u);
            EXPECT_NE(h[0].find("\"image_size\":0"), std::string::npos) << h[0];
            EXPECT_NE(h[0].find("\"result\":\"interrupted\""), std::string::npos) << h[0];
            for (const char* name : names) {
                unlink((dir + "/" + name).c_str());
                ASSERT_EQ(mkfifo((dir + "/" + name).c_str(), 0600), 0);
            }
            continue;
        }
        next.begin();
        std::string img = six_block_image();
        next.image_ready(img.data(), static_cast<int>(img.size()), 64, "h", "/\xff");
        next.end(false);
        std::vector<std::string> h = lines_of(history());
        ASSERT_EQ(h.size(), 1u) << "the FIFO's place was not taken by the history";
        EXPECT_NE(h[0].find("\"image_url\":\"http://h/\uFFFD\""), std::string::npos) << h[0];
    }
}

} // namespace
