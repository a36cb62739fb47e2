// The network side: reachability probe, HTTP fetch, manifest and image download.
#ifndef LUMORA_NET_DOWNLOAD_H
#define LUMORA_NET_DOWNLOAD_H

#include <atomic>

class lm_update;

class lm_download {
public:
    lm_download();
    ~lm_download() {}
    void set_data(lm_update* pUpdate) { m_pUpdate = pUpdate; }

    // Reachability probe: 0 when the update server answered, -1 when not.
    int get_internet_con_status();
    int host2ip(const char* domain, char* ip);
    int DetectIP(const char* destIp);
    int SendPing(const char* destIp);
    unsigned short cal_chksum(unsigned short* addr, int len);

    // HTTP fetch: 0 body received, -1 failure, -2 cancelled.
    int http_download(const char* host, const char* file, char** pdata, int* pDownloadCancel);
    void sethttphead(char* msg, const char* host, const char* file);
    unsigned long getlength(const char* header);
    int getstatus(const char* header);
    int writedata(char** pdest, const char* psrc, int len);
    int getcurdatalen();
    float get_progress();

    // Manifest and image: 0 image in *pdata, -1 failure, -2 cancelled.
    int DownloadImage(char** pdata, int* pDownloadCancel);
    int CheckDevice(char* host, char* file, char** pdata, int* pDownloadCancel);
    int GetLumoraMemSize();
    int get_cur_dev_version();

    static const char* const m_host;
    static const char* const m_file;

    int m_totalsize;
    int m_curpos;
    int m_dev_ver;
    std::atomic<float> m_fprogress;
    lm_update* m_pUpdate;
};

#endif
