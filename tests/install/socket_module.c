/* A GTK module as any user could write one. Loaded into the updater through
 * GTK_MODULES, it tries to open a packet socket and a raw ICMP socket and
 * writes what happened, one line each, to the file named by
 * LUMORA_SOCKET_REPORT: "packet opened" or "packet errno N", then "raw ...". */
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_ether.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

static void try_socket(FILE* out, const char* name, int domain, int type, int protocol)
{
    int fd = socket(domain, type, protocol);
    if (fd < 0) {
        fprintf(out, "%s errno %d\n", name, errno);
        return;
    }
    fprintf(out, "%s opened\n", name);
    close(fd);
}

void gtk_module_init(int* argc, char*** argv)
{
    (void)argc;
    (void)argv;
    const char* path = getenv("LUMORA_SOCKET_REPORT");
    FILE* out = path ? fopen(path, "w") : NULL;
    if (!out)
        return;
    try_socket(out, "packet", AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    try_socket(out, "raw", AF_INET, SOCK_RAW, IPPROTO_ICMP);
    fclose(out);
}
