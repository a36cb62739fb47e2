// The download of one firmware image: the reader's variant, the manifest
// line that names the image's server and path, and the image itself.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "net/download.h"
#include "usb/update.h"

const char* const lm_download::m_host = LUMORA_SERVER_HOST;
const char* const lm_download::m_file = "/ebook/update/ovupdater0224zh.log";

lm_download::lm_download()
    : m_totalsize(0), m_curpos(0), m_dev_ver(-1), m_fprogress(0.0f), m_bLengthUnknown(0), m_pUpdate(nullptr),
      m_nConnectLimitMs(kConnectTimeoutSec * 1000), m_nDataLimitMs(kLowSpeedSec * 1000),
      m_nHeaderLimitMs(kHeaderLimitSec * 1000)
{
    m_imgHost[0] = '\0';
    m_imgFile[0] = '\0';
}

void lm_download::release_buffer(char** pdata)
{
    if (pdata && *pdata) {
        free(*pdata);
        *pdata = nullptr;
    }
    m_curpos = 0;
    m_totalsize = 0;
}

int lm_download::DownloadImage(char** pdata, int* pDownloadCancel)
{
    if (!pdata)
        return -1;
    release_buffer(pdata);
    m_fprogress.store(0.0f, std::memory_order_relaxed);
    m_bLengthUnknown.store(0, std::memory_order_relaxed);
    char host[kFieldSize];
    char file[kFieldSize];
    memset(host, 0, sizeof(host));
    memset(file, 0, sizeof(file));

    int checked = CheckDevice(host, file, pdata, pDownloadCancel);
    if (checked < 0) {
        fputs("Download: check device failed when download img\n", stdout);
        fflush(stdout);
        return checked;
    }
    release_buffer(pdata);  // the manifest is done with
    memcpy(m_imgHost, host, sizeof(m_imgHost));
    memcpy(m_imgFile, file, sizeof(m_imgFile));
    return http_download(host, file, pdata, pDownloadCancel);
}

int lm_download::CheckDevice(char* host, char* file, char** pdata, int* pDownloadCancel)
{
    int variant = GetLumoraMemSize();
    if (variant < 0)
        return -1;
    m_dev_ver = variant;
    if (http_download(m_host, m_file, pdata, pDownloadCancel) < 0)
        return -1;
    char variant_text[32];
    snprintf(variant_text, sizeof(variant_text), "%d", variant);
    return scan_manifest(*pdata, m_curpos, variant_text, host, file);
}

int lm_download::GetLumoraMemSize()
{
    if (!m_pUpdate)
        return -1;
    // The Warning page's check looks at the reader through device objects of
    // its own, so this one finds the reader itself before asking it.
    if (m_pUpdate->get_device_connect_status() != 0)
        return -1;
    int variant = m_pUpdate->get_lumora_buffer_size();
    return variant == 64 || variant == 32 ? variant : -1;
}

int lm_download::get_cur_dev_version()
{
    return m_dev_ver;
}
