// lumora-fake-reader: runs a command against the emulated reader.
//   umockdev-wrapper lumora-fake-reader [options] -- COMMAND [ARGS...]
// The testbed lives as long as the command; the exit status is the command's.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fake_reader.h"

using lumora_fake::reader_options;
using lumora_fake::reconnect_mode;

namespace {

std::atomic<int> g_child{0};  // the command's pid, for --kill-at-urb

const char kUsage[] =
    "usage: umockdev-wrapper lumora-fake-reader [options] -- COMMAND [ARGS...]\n"
    "  --product TEXT          product string (default \"ORVEX LUMORA64 UPDate\")\n"
    "  --product-reply-bytes N force the string descriptor reply length\n"
    "  --product-unanswered    the product string request is never answered (times out)\n"
    "  --hold-string DIR       the first product string request is answered only once\n"
    "                          DIR/string-release exists; DIR/string-held tells it came\n"
    "  --bus N --devnum N      initial bus and device numbers (default 1 and 2)\n"
    "  --no-descriptors-file   no sysfs descriptors file (read from the node)\n"
    "  --no-reader             no reader, only a root hub\n"
    "  --attach-after SECONDS  the reader appears after this delay\n"
    "  --reconnect MODE        renumber (default), same, stay-away, none\n"
    "  --leave-after MS        delay from a frame to leaving the bus (default 300)\n"
    "  --return-after MS       delay from leaving to coming back (default 1500)\n"
    "  --refuse-claim          CLAIMINTERFACE fails with EBUSY\n"
    "  --fail-submit N         the Nth SUBMITURB fails with ENOMEM\n"
    "  --fail-frame K          the Kth frame attempt's first URB ends with -EPIPE\n"
    "  --short-urb N           the Nth URB completes short\n"
    "  --fail-urb N            the Nth URB ends with -EPIPE\n"
    "  --never-complete N      the Nth URB never completes\n"
    "  --kill-at-urb N         SIGKILL for COMMAND as the Nth URB is submitted\n"
    "  --extra-devices         a root hub, interface entries and another device\n"
    "  --swap-signal FILE      once FILE exists, another reader takes this one's place\n"
    "  --swap-product TEXT     the product string of that other reader\n"
    "  --log FILE              append one line per event\n"
    "  --frames-dir DIR        save valid frames' payloads as DIR/frame-NN.bin\n"
    "  --max-inflight-log      log the most URBs in flight at exit\n"
    "  --port NAME             the reader's sysfs entry, where it is plugged in (default 1-1)\n"
    "  --serial TEXT           its serial number (default none)\n"
    "  --attach-signal FILE    the reader is plugged in once FILE exists\n"
    "  --leave-signal FILE     the reader leaves for good once FILE exists\n"
    "  --second-OPTION ...     a second reader on the same bus, with these options of its\n"
    "                          own (--second-port NAME makes it; it needs its own\n"
    "                          --second-devnum, and takes --second-log, --second-frames-dir)\n";

bool parse_int(const char* text, int* out)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || !end || *end || end == text || v < 0 || v > 1000000000)
        return false;
    *out = int(v);
    return true;
}

bool parse_reconnect(const char* text, reconnect_mode* out)
{
    if (!strcmp(text, "renumber"))
        *out = reconnect_mode::renumber;
    else if (!strcmp(text, "same"))
        *out = reconnect_mode::same;
    else if (!strcmp(text, "stay-away"))
        *out = reconnect_mode::stay_away;
    else if (!strcmp(text, "none"))
        *out = reconnect_mode::none;
    else
        return false;
    return true;
}

struct command_line {
    reader_options first;
    reader_options second;
    bool has_second = false;
};

// Returns the index of the command after "--", or -1 on a bad command line.
int parse_args(int argc, char** argv, command_line* line)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--")
            return i + 1 < argc ? i + 1 : -1;
        reader_options* opt = &line->first;
        if (a.compare(0, 9, "--second-") == 0) {
            opt = &line->second;
            line->has_second = true;
            a = "--" + a.substr(9);
        }
        bool has_value = i + 1 < argc;
        const char* v = has_value ? argv[i + 1] : "";
        bool ok = true;
        if (a == "--no-descriptors-file")
            opt->descriptors_file = false;
        else if (a == "--no-reader")
            opt->reader = false;
        else if (a == "--refuse-claim")
            opt->refuse_claim = true;
        else if (a == "--extra-devices")
            opt->extra_devices = true;
        else if (a == "--max-inflight-log")
            opt->log_max_inflight = true;
        else if (a == "--product-unanswered")
            opt->product_unanswered = true;
        else if (!has_value)
            ok = false;
        else {
            ++i;
            double seconds = 0;
            if (a == "--product")
                opt->product = v;
            else if (a == "--product-reply-bytes")
                ok = parse_int(v, &opt->product_reply_bytes);
            else if (a == "--bus")
                ok = parse_int(v, &opt->bus);
            else if (a == "--devnum")
                ok = parse_int(v, &opt->devnum);
            else if (a == "--attach-after")
                ok = sscanf(v, "%lf", &seconds) == 1 && seconds >= 0,
                opt->attach_after_ms = int(seconds * 1000);
            else if (a == "--reconnect")
                ok = parse_reconnect(v, &opt->reconnect);
            else if (a == "--leave-after")
                ok = parse_int(v, &opt->leave_after_ms);
            else if (a == "--return-after")
                ok = parse_int(v, &opt->return_after_ms);
            else if (a == "--fail-submit")
                ok = parse_int(v, &opt->fail_submit);
            else if (a == "--fail-frame")
                ok = parse_int(v, &opt->fail_frame);
            else if (a == "--fail-urb")
                ok = parse_int(v, &opt->fail_urb);
            else if (a == "--short-urb")
                ok = parse_int(v, &opt->short_urb);
            else if (a == "--never-complete")
                ok = parse_int(v, &opt->never_complete);
            else if (a == "--kill-at-urb")
                ok = parse_int(v, &opt->kill_at_urb);
            else if (a == "--hold-string")
                opt->hold_string_dir = v;
            else if (a == "--swap-signal")
                opt->swap_signal = v;
            else if (a == "--swap-product")
                opt->swap_product = v;
            else if (a == "--log")
                opt->log_path = v;
            else if (a == "--frames-dir")
                opt->frames_dir = v;
            else if (a == "--port")
                opt->sys_name = v;
            else if (a == "--serial")
                opt->serial = v;
            else if (a == "--attach-signal")
                opt->attach_signal = v;
            else if (a == "--leave-signal")
                opt->leave_signal = v;
            else
                ok = false;
        }
        if (!ok) {
            fprintf(stderr, "lumora-fake-reader: bad option %s\n", a.c_str());
            return -1;
        }
    }
    return -1;
}

int run_child(char** command)
{
    pid_t pid = fork();
    if (pid < 0) {
        perror("lumora-fake-reader: fork");
        return 127;
    }
    g_child = pid;
    if (pid == 0) {
        signal(SIGHUP, SIG_DFL);
        execvp(command[0], command);
        fprintf(stderr, "lumora-fake-reader: cannot run %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv)
{
    command_line line;
    for (reader_options* opt : {&line.first, &line.second}) {
        opt->reconnect = reconnect_mode::renumber;
        opt->keep_payloads = false;  // long runs: payloads go to --frames-dir only
        opt->kill_pid = &g_child;
    }
    line.second.sys_name = "";
    int cmd = parse_args(argc, argv, &line);
    if (cmd < 0 || (line.has_second && line.second.sys_name.empty())) {
        fputs(kUsage, stderr);
        return 2;
    }
    // The second reader shares the first one's testbed.
    lumora_fake::fake_reader reader(line.first);
    if (!reader.ok()) {
        fprintf(stderr, "lumora-fake-reader: %s\n", reader.error().c_str());
        return 2;
    }
    std::unique_ptr<lumora_fake::fake_reader> second;
    if (line.has_second)
        second.reset(new lumora_fake::fake_reader(line.second, reader));
    return run_child(argv + cmd);
}
