// Placeholder until the network side lands.
#include "net/download.h"
const char* const lm_download::m_host = LUMORA_SERVER_HOST;
const char* const lm_download::m_file = "/ebook/update/ovupdater0224zh.log";
lm_download::lm_download() : m_totalsize(0), m_curpos(0), m_dev_ver(0), m_fprogress(0.0f), m_pUpdate(nullptr) {}
int lm_download::get_internet_con_status() { return -1; }
int lm_download::host2ip(const char*, char*) { return -1; }
int lm_download::DetectIP(const char*) { return -1; }
int lm_download::SendPing(const char*) { return -1; }
unsigned short lm_download::cal_chksum(unsigned short*, int) { return 0; }
int lm_download::http_download(const char*, const char*, char**, int*) { return -1; }
void lm_download::sethttphead(char*, const char*, const char*) {}
unsigned long lm_download::getlength(const char*) { return 0; }
int lm_download::getstatus(const char*) { return -1; }
int lm_download::writedata(char**, const char*, int) { return -1; }
int lm_download::getcurdatalen() { return m_curpos; }
float lm_download::get_progress() { return m_fprogress.load(std::memory_order_relaxed); }
int lm_download::DownloadImage(char**, int*) { return -1; }
int lm_download::CheckDevice(char*, char*, char**, int*) { return -1; }
int lm_download::GetLumoraMemSize() { return -1; }
int lm_download::get_cur_dev_version() { return m_dev_ver; }
