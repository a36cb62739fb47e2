// One image fetched with lm_download::http_download and nothing else, so
// that /usr/bin/time -v around this process gives the download's own peak
// memory. Prints the bytes received and the seconds the fetch took.
//   lumora-bench-download HOST PATH EXPECTED_BYTES
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "net/download.h"

namespace {

double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s HOST PATH EXPECTED_BYTES\n", argv[0]);
        return 2;
    }
    long expected = strtol(argv[3], nullptr, 10);
    lm_download download;
    char* data = nullptr;
    int cancel = 0;

    double start = now_seconds();
    int rc = download.http_download(argv[1], argv[2], &data, &cancel);
    double seconds = now_seconds() - start;

    int received = download.getcurdatalen();
    free(data);
    printf("rc=%d bytes=%d seconds=%.6f\n", rc, received, seconds);
    if (rc != 0 || received != expected) {
        fprintf(stderr, "download incomplete: rc=%d, %d of %ld bytes\n", rc, received, expected);
        return 1;
    }
    return 0;
}
