// The network tests bind port 80, change the namespace's ICMP settings and
// mount hosts files: they run only inside a private network namespace
// (tests/support/server/netns-run).
#include <gtest/gtest.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>

namespace {

// A namespace whose only interface is "lo" cannot reach any other machine.
bool only_loopback_exists()
{
    struct if_nameindex* all = if_nameindex();
    if (!all)
        return false;
    bool only_lo = true;
    for (struct if_nameindex* i = all; i->if_index != 0; i++)
        only_lo = only_lo && strcmp(i->if_name, "lo") == 0;
    if_freenameindex(all);
    return only_lo;
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!only_loopback_exists()) {
        fprintf(stderr, "lumora_net_tests: run me through tests/support/server/netns-run\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
