// A small client of the device side, run by the harness test as the child of
// lumora-fake-reader. It drives lm_update as the wizard does: a 100 ms
// connection poll on one thread, stage writes on another.
//   usb_flash_probe variant
//   usb_flash_probe write STAGES SIZE OUTDIR   (payloads also go to OUTDIR/sent-NN.bin)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "usb/image.h"
#include "usb/update.h"

namespace {

bool wait_for_status(lm_update& update, int wanted, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (update.get_device_connect_status() == wanted)
            return true;
        usleep(100 * 1000);
    }
    return false;
}

int write_stages(lm_update& update, int stages, int size, const char* outdir)
{
    std::atomic<bool> stop(false);
    std::thread poll([&] {
        while (!stop.load()) {
            update.get_device_connect_status();
            update.get_progress();
            usleep(100 * 1000);
        }
    });
    int rc = 0;
    for (int k = 0; k < stages && rc == 0; ++k) {
        if (!wait_for_status(update, 0, 20)) {
            fprintf(stderr, "probe: reader not attached before stage %d\n", k + 1);
            rc = 1;
            break;
        }
        std::vector<unsigned char> payload(size);
        for (int i = 0; i < size; ++i)
            payload[i] = static_cast<unsigned char>((i * 31 + k * 7) ^ (i >> 8));
        char name[4096];
        snprintf(name, sizeof name, "%s/sent-%02d.bin", outdir, k + 1);
        if (FILE* f = fopen(name, "wb")) {
            fwrite(payload.data(), 1, payload.size(), f);
            fclose(f);
        }
        int w = update.write_flash(FLASH_ADDRS_64[ADDR_INDEX[k]], payload.data(), size);
        printf("stage %d rc=%d\n", k + 1, w);
        fflush(stdout);
        if (w != 0) {
            rc = 1;
            break;
        }
        if (k + 1 < stages && (!wait_for_status(update, -1, 20) || !wait_for_status(update, 0, 20))) {
            fprintf(stderr, "probe: reader did not leave and return after stage %d\n", k + 1);
            rc = 1;
        }
    }
    stop = true;
    poll.join();
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    lm_update update;
    if (argc == 2 && !strcmp(argv[1], "variant")) {
        int connect = update.get_device_connect_status();
        printf("connect=%d variant=%d\n", connect, update.get_lumora_buffer_size());
        return 0;
    }
    if (argc == 5 && !strcmp(argv[1], "write"))
        return write_stages(update, atoi(argv[2]), atoi(argv[3]), argv[4]);
    fprintf(stderr, "usage: usb_flash_probe variant | write STAGES SIZE OUTDIR\n");
    return 2;
}
