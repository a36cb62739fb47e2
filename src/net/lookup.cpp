// getaddrinfo and GIO's proxy lookup cannot be interrupted, so they run on a
// detached thread that
// shares one reference-counted record with the waiting fetch; whichever
// lets go last frees it.
#include "net/lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "net/download.h"
#include "net/resolve.h"
#include "net/socket_wait.h"

namespace lm_net {

namespace {

struct lookup_record {
    std::string host;
    http_route route;
    peer_address peer;
    int result = -1;
    bool finished = false;
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<int> holders{2};
};

void release(lookup_record* record)
{
    if (record->holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete record;
}

void* run_lookup(void* arg)
{
    lookup_record* record = static_cast<lookup_record*>(arg);
    http_route route = route_for_host(record->host.c_str());
    peer_address peer;
    int result = route.unusable ? -1 : resolve_peer(route.host, route.port, &peer);
    {
        std::lock_guard<std::mutex> hold(record->lock);
        record->route = route;
        record->peer = peer;
        record->result = result;
        record->finished = true;
    }
    record->changed.notify_all();
    release(record);
    return nullptr;
}

bool start_detached(lookup_record* record)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    bool started = pthread_create(&thread, &attr, run_lookup, record) == 0;
    pthread_attr_destroy(&attr);
    return started;
}

// Waits in slices so the cancel flag is seen within kCancelPollMs.
int wait_for(lookup_record* record, http_route* route, peer_address* peer, int limit_ms, const int* pCancel)
{
    const long long deadline = monotonic_ms() + limit_ms;
    std::unique_lock<std::mutex> hold(record->lock);
    for (;;) {
        if (record->finished) {
            *route = record->route;
            *peer = record->peer;
            return record->result;
        }
        if (cancel_requested(pCancel))
            return -2;
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            return -1;
        long long slice = left < lm_download::kCancelPollMs ? left : lm_download::kCancelPollMs;
        record->changed.wait_for(hold, std::chrono::milliseconds(slice));
    }
}

}  // namespace

int resolve_peer(const std::string& host, int port, peer_address* peer)
{
    *peer = peer_address();
    in6_addr v6_addr;
    if (inet_pton(AF_INET6, host.c_str(), &v6_addr) == 1) {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&peer->addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = v6_addr;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        peer->len = sizeof(*v6);
        return 0;
    }
    in_addr v4_addr;
    if (inet_pton(AF_INET, host.c_str(), &v4_addr) != 1 && lm_resolve_ipv4(host.c_str(), &v4_addr) != 0)
        return -1;
    sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&peer->addr);
    v4->sin_family = AF_INET;
    v4->sin_addr = v4_addr;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    peer->len = sizeof(*v4);
    return 0;
}

int lookup_route(const char* host, http_route* route, peer_address* peer, int limit_ms, const int* pCancel)
{
    if (!host || !*host || !route || !peer)
        return -1;
    lookup_record* record = new lookup_record;
    record->host = host;
    if (!start_detached(record)) {
        delete record;
        return -1;
    }
    int result = wait_for(record, route, peer, limit_ms, pCancel);
    release(record);
    return result;
}

}  // namespace lm_net
