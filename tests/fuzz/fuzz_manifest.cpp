// The manifest scan on arbitrary bytes, for variant 64: it must stay inside
// the data and leave both fields terminated within their 260 bytes. A host
// the fetch accepts names a server and nothing else.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "net/download.h"
#include "net/host_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    char* copy = static_cast<char*>(malloc(size ? size : 1));
    memcpy(copy, data, size);
    char host[lm_download::kFieldSize];
    char file[lm_download::kFieldSize];
    memset(host, 'Q', sizeof(host));
    memset(file, 'Q', sizeof(file));

    int result = lm_download::scan_manifest(copy, static_cast<int>(size), "64", host, file);
    if (result != 0 && result != -1)
        abort();
    if (result == 0) {
        if (memchr(host, '\0', sizeof(host)) == nullptr || memchr(file, '\0', sizeof(file)) == nullptr)
            abort();
        if (strchr(file, '\r') != nullptr || strchr(host, '\r') != nullptr)
            abort();
        if (lm_net::plain_host(host) && strcspn(host, ":@/[] \t\n") != strlen(host))
            abort();
    }
    free(copy);
    return 0;
}
