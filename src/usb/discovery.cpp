#include "usb/discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kDevUsbRoot[] = "/dev/bus/usb";
const char kProcUsbRoot[] = "/proc/bus/usb";
const char kSysUsbRoot[] = "/sys/bus/usb/devices";
const int kDescriptorSize = 18;

typedef std::lock_guard<std::recursive_mutex> lock_t;

// Root hubs (usb1) and devices (1-1, 2-1.4) are taken; interfaces (1-1:1.0) are not.
bool is_device_entry(const char* name)
{
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    if (strchr(name, ':'))
        return false;
    return isdigit(static_cast<unsigned char>(name[0])) || strncmp(name, "usb", 3) == 0;
}

// Reads one decimal number; -1 when the file is missing or empty.
int read_number_file(const char* path, int* value)
{
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    int v = 0;
    int rc = fscanf(f, "%d", &v);
    fclose(f);
    if (rc == EOF)
        return -1;
    *value = v;
    return 0;
}

// Port names are far shorter than the field (USB allows 7 tiers of hubs).
void copy_text(char* out, size_t size, const char* in)
{
    size_t n = strnlen(in, size - 1);
    memcpy(out, in, n);
    out[n] = '\0';
}

bool is_reader(const dis_dev* pdev)
{
    return pdev->vender_id == LUMORA_VENDOR_ID && pdev->product_id == LUMORA_PRODUCT_ID;
}

// The first line of a small text file, without its line end; empty when
// the file is missing (most devices have no serial number).
void read_line_file(const char* path, char* out, size_t size)
{
    out[0] = '\0';
    FILE* f = fopen(path, "r");
    if (!f)
        return;
    if (!fgets(out, static_cast<int>(size), f))
        out[0] = '\0';
    fclose(f);
    out[strcspn(out, "\r\n")] = '\0';
}

// Reads exactly one descriptor's worth of bytes from the start of a file.
int read_descriptor(const char* path, int flags, unsigned char* out)
{
    int fd = open(path, flags);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, out, kDescriptorSize);
    close(fd);
    return n == kDescriptorSize ? 0 : -1;
}

} // namespace

void lm_usb_node_path(char* out, const char* root, int bus, int device)
{
    snprintf(out, LM_PATH_MAX, "%s/%03d/%03d", root, bus, device);
}

lm_discovery::lm_discovery()
    : m_pUsbPath(nullptr), m_pSysPath(nullptr), m_bHasDescFile(0), m_lumora_device(nullptr),
      m_bFollowing(0), m_nReaders(0), m_nOthers(0)
{
    m_followPort[0] = '\0';
    m_followSerial[0] = '\0';
    lm_list_init(&m_dis_head);
}

lm_discovery::~lm_discovery()
{
    release_device_list();
    free(m_lumora_device);
}

int lm_discovery::get_device_connect_status()
{
    lock_t lock(m_lock);
    if (m_pUsbPath && m_lumora_device) {
        char path[LM_PATH_MAX];
        lm_usb_node_path(path, m_pUsbPath, m_lumora_device->dev_major_num,
                         m_lumora_device->dev_minor_num);
        int fd = open(path, O_RDWR);
        if (fd >= 0) {
            close(fd);
            return 0;
        }
    }
    int rc = discover_device();
    if (rc != 0)
        m_pUsbPath = nullptr;
    return rc;
}

const char* lm_discovery::get_usb_path_result()
{
    lock_t lock(m_lock);
    return m_pUsbPath;
}

int lm_discovery::get_dev_number_result(int* major, int* minor)
{
    lock_t lock(m_lock);
    if (!m_lumora_device || !major || !minor)
        return -1;
    *major = m_lumora_device->dev_major_num;
    *minor = m_lumora_device->dev_minor_num;
    return 0;
}

uint8_t lm_discovery::get_iproduct()
{
    lock_t lock(m_lock);
    return m_lumora_device ? m_lumora_device->iProduct : 0;
}

int lm_discovery::get_node_path_result(char* path, uint8_t* iproduct)
{
    lock_t lock(m_lock);
    if (!path || !m_pUsbPath || !m_lumora_device)
        return -1;
    lm_usb_node_path(path, m_pUsbPath, m_lumora_device->dev_major_num,
                     m_lumora_device->dev_minor_num);
    if (iproduct)
        *iproduct = m_lumora_device->iProduct;
    return 0;
}

void lm_discovery::set_followed(const char* port, const char* serial)
{
    lock_t lock(m_lock);
    m_bFollowing = 1;
    snprintf(m_followPort, sizeof m_followPort, "%s", port ? port : "");
    snprintf(m_followSerial, sizeof m_followSerial, "%s", serial ? serial : "");
    free(m_lumora_device);
    m_lumora_device = nullptr;
    m_pUsbPath = nullptr;
}

int lm_discovery::get_match_identity(char* port, char* serial)
{
    lock_t lock(m_lock);
    if (!m_lumora_device)
        return -1;
    if (port)
        snprintf(port, LM_PORT_MAX + 1, "%s", m_lumora_device->port);
    if (serial)
        snprintf(serial, LM_SERIAL_MAX + 1, "%s", m_lumora_device->serial);
    return 0;
}

int lm_discovery::readers_listed()
{
    lock_t lock(m_lock);
    return m_nReaders;
}

int lm_discovery::others_listed()
{
    lock_t lock(m_lock);
    return m_nOthers;
}

bool lm_discovery::is_followed(const dis_dev* pdev) const
{
    if (!m_bFollowing || (!m_followPort[0] && !m_followSerial[0]))
        return true;
    // A serial number names the reader wherever it is plugged in, and tells
    // another reader put into the same port apart.
    if (m_followSerial[0] && pdev->serial[0])
        return strcmp(m_followSerial, pdev->serial) == 0;
    return m_followPort[0] && strcmp(m_followPort, pdev->port) == 0;
}

int lm_discovery::discover_device()
{
    lock_t lock(m_lock);
    if (get_valid_usb_path() != 0)
        return -1;
    if (discover_device_list() != 0)
        return -1;
    return discover_lumora_device();
}

int lm_discovery::get_valid_usb_path()
{
    lock_t lock(m_lock);
    if (get_usb_path() != 0)
        return -1;
    // A missing sysfs root shows up when the list is built.
    get_sys_usb_path();
    return 0;
}

int lm_discovery::get_usb_path()
{
    lock_t lock(m_lock);
    m_pUsbPath = kDevUsbRoot;
    if (check_usb_path_valid(m_pUsbPath) == 0)
        return 0;
    m_pUsbPath = kProcUsbRoot;
    return check_usb_path_valid(m_pUsbPath);
}

int lm_discovery::check_usb_path_valid(const char* name)
{
    lock_t lock(m_lock);
    DIR* dir = opendir(name);
    if (!dir)
        return -1;
    int rc = -1;
    while (struct dirent* ent = readdir(dir)) {
        if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0) {
            rc = 0;
            break;
        }
    }
    closedir(dir);
    return rc;
}

int lm_discovery::get_sys_usb_path()
{
    lock_t lock(m_lock);
    m_bHasDescFile = 0;
    struct stat st;
    if (stat(kSysUsbRoot, &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    m_pSysPath = kSysUsbRoot;
    m_bHasDescFile = 1;
    return 0;
}

int lm_discovery::discover_device_list()
{
    lock_t lock(m_lock);
    if (!m_bHasDescFile || !m_pSysPath)
        return -1;
    DIR* dir = opendir(m_pSysPath);
    if (!dir)
        return -1;
    int rc = 0;
    while (struct dirent* ent = readdir(dir)) {
        if (!is_device_entry(ent->d_name))
            continue;
        dis_dev* pdev = static_cast<dis_dev*>(calloc(1, sizeof(dis_dev)));
        if (!pdev || get_device_info(pdev, ent->d_name) != 0 ||
            get_device_descriptor(pdev, ent->d_name) != 0) {
            free(pdev);
            rc = -1;
            break;
        }
        copy_text(pdev->port, sizeof pdev->port, ent->d_name);
        if (is_reader(pdev)) {
            char path[LM_PATH_MAX];
            snprintf(path, sizeof path, "%s/%s/serial", m_pSysPath, ent->d_name);
            read_line_file(path, pdev->serial, sizeof pdev->serial);
        }
        lm_list_add_tail(&pdev->head, &m_dis_head);
    }
    closedir(dir);
    if (rc != 0)
        release_device_list();
    return rc;
}

int lm_discovery::get_device_info(dis_dev* pdev, const char* devname)
{
    lock_t lock(m_lock);
    if (!pdev || !devname || !m_pSysPath)
        return -1;
    char path[LM_PATH_MAX];
    struct stat st;
    snprintf(path, sizeof path, "%s/%s/descriptors", m_pSysPath, devname);
    pdev->has_device_desc_file = (stat(path, &st) == 0 && S_ISREG(st.st_mode)) ? 1 : 0;

    int busnum = 0, devnum = 0;
    snprintf(path, sizeof path, "%s/%s/busnum", m_pSysPath, devname);
    if (read_number_file(path, &busnum) != 0)
        return -1;
    snprintf(path, sizeof path, "%s/%s/devnum", m_pSysPath, devname);
    if (read_number_file(path, &devnum) != 0)
        return -1;
    pdev->dev_major_num = busnum & 0xff;
    pdev->dev_minor_num = devnum & 0xff;
    snprintf(pdev->dev_name, sizeof pdev->dev_name, "%s", devname);
    return 0;
}

int lm_discovery::get_device_descriptor(dis_dev* pdev, const char* devname)
{
    lock_t lock(m_lock);
    if (!pdev)
        return -1;
    unsigned char raw[kDescriptorSize];
    int rc = pdev->has_device_desc_file ? get_devdesc_from_file(raw, devname)
                                        : get_devdesc_from_dev(raw, pdev);
    if (rc != 0)
        return -1;
    usb_device_descriptor desc;
    memcpy(&desc, raw, sizeof desc);
    pdev->vender_id = le16_to_host(desc.idVendor);
    pdev->product_id = le16_to_host(desc.idProduct);
    pdev->iProduct = desc.iProduct;
    return 0;
}

// Through the entry's full name: `dev_name` may hold only its first characters.
int lm_discovery::get_devdesc_from_file(unsigned char* pDevDesc, const char* devname)
{
    lock_t lock(m_lock);
    if (!pDevDesc || !devname || !m_pSysPath)
        return -1;
    char path[LM_PATH_MAX];
    snprintf(path, sizeof path, "%s/%s/descriptors", m_pSysPath, devname);
    return read_descriptor(path, O_RDONLY, pDevDesc);
}

int lm_discovery::get_devdesc_from_dev(unsigned char* pDevDesc, dis_dev* pdev)
{
    lock_t lock(m_lock);
    if (!pDevDesc || !pdev || !m_pUsbPath)
        return -1;
    char path[LM_PATH_MAX];
    lm_usb_node_path(path, m_pUsbPath, pdev->dev_major_num, pdev->dev_minor_num);
    return read_descriptor(path, O_RDWR, pDevDesc);
}

int lm_discovery::discover_lumora_device()
{
    lock_t lock(m_lock);
    dis_dev* match = nullptr;
    int readers = 0;
    int others = 0;
    for (lm_list_head* pos = m_dis_head.next; pos != &m_dis_head; pos = pos->next) {
        dis_dev* pdev = lm_list_entry(pos, dis_dev, head);
        if (!is_reader(pdev))
            continue;
        ++readers;
        if (match || !is_followed(pdev))
            ++others;
        else
            match = pdev;
    }
    m_nReaders = readers;
    m_nOthers = others;
    if (match) {
        lm_list_del(&match->head);
        lm_list_init(&match->head);
        free(m_lumora_device);
        m_lumora_device = match;
        // Following "the next reader found": this one, from now on.
        if (m_bFollowing && !m_followPort[0] && !m_followSerial[0]) {
            snprintf(m_followPort, sizeof m_followPort, "%s", match->port);
            snprintf(m_followSerial, sizeof m_followSerial, "%s", match->serial);
        }
    }
    release_device_list();
    return match ? 0 : -1;
}

uint16_t lm_discovery::le16_to_host(uint16_t x)
{
    // The low byte is the first byte in memory, whatever the host's order.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&x);
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

void lm_discovery::release_device_list()
{
    lm_list_head* pos = m_dis_head.next;
    while (pos != &m_dis_head) {
        lm_list_head* next = pos->next;
        lm_list_del(pos);
        free(lm_list_entry(pos, dis_dev, head));
        pos = next;
    }
    lm_list_init(&m_dis_head);
}
