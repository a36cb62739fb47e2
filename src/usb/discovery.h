// Finds the reader in its USB update mode through sysfs and usbfs, and tells
// whether it is still attached.
#ifndef LUMORA_USB_DISCOVERY_H
#define LUMORA_USB_DISCOVERY_H

#include <cstdint>
#include <mutex>

#include "usb/list.h"

enum {
    LUMORA_VENDOR_ID = 0x5345,
    LUMORA_PRODUCT_ID = 0x1234,
    LM_DEV_NAME_MAX = 17,
    LM_PORT_MAX = 31,     // a sysfs device entry such as 1-1.2.3, in full
    LM_SERIAL_MAX = 126,  // the serial number as sysfs gives it
    LM_PATH_MAX = 4096,
};

// The usbfs node of a device: the root, then bus and device number as three
// digits each, e.g. /dev/bus/usb/002/007. `out` holds LM_PATH_MAX bytes.
void lm_usb_node_path(char* out, const char* root, int bus, int device);

// The standard 18-byte USB device descriptor (USB 2.0, chapter 9).
struct usb_device_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
} __attribute__((packed));
static_assert(sizeof(usb_device_descriptor) == 18, "device descriptor is 18 bytes");

// One enumerated USB device.
typedef struct dis_dev {
    int dev_major_num;           // bus number, low 8 bits
    int dev_minor_num;           // device number, low 8 bits
    int has_device_desc_file;    // 1 when sysfs holds a regular `descriptors` file
    int vender_id;
    int product_id;
    uint8_t iProduct;            // index of the product string descriptor
    char dev_name[LM_DEV_NAME_MAX + 1];
    char port[LM_PORT_MAX + 1];      // the sysfs entry's name: where it is plugged in
    char serial[LM_SERIAL_MAX + 1];  // readers only; empty when it has none
    lm_list_head head;
} DIS_DEV;

class lm_discovery {
public:
    lm_discovery();
    ~lm_discovery();
    lm_discovery(const lm_discovery&) = delete;
    lm_discovery& operator=(const lm_discovery&) = delete;

    // 0 when the reader is attached, -1 when it is not.
    int get_device_connect_status();
    // The usbfs root, or null when no root is known.
    const char* get_usb_path_result();
    // -1 without a match; else the match's bus and device numbers and 0.
    int get_dev_number_result(int* major, int* minor);
    // The match's product string index (0 without a match).
    uint8_t get_iproduct();
    // -1 without a root or a match; else the match's node path (LM_PATH_MAX
    // bytes) and, when iproduct is not null, its product string index, all
    // read under one lock so that a rediscovery cannot mix two matches.
    int get_node_path_result(char* path, uint8_t* iproduct);

    // The reader one update writes into. A plugged-in reader keeps the name
    // of its sysfs entry (the port, e.g. 1-1.2) across restarts, so from
    // here on only a reader at `port`, or one with `serial` when both it and
    // the followed reader have one, is taken; any other reader is counted,
    // never matched. Empty port and serial follow the next reader found.
    // The current match is dropped: the next connection test looks again.
    void set_followed(const char* port, const char* serial);
    // The match's port and serial (LM_PORT_MAX + 1 and LM_SERIAL_MAX + 1
    // bytes); -1 without a match.
    int get_match_identity(char* port, char* serial);
    // Readers in update mode (by their identifiers) in the last enumeration,
    // and how many of them were not the one followed.
    int readers_listed();
    int others_listed();

    // The steps of one discovery. Every operation holds the object's lock,
    // so the status poll and the worker never overlap.
    int discover_device();
    int get_valid_usb_path();
    int get_usb_path();
    int check_usb_path_valid(const char* name);
    int get_sys_usb_path();
    int discover_device_list();
    int get_device_info(dis_dev* pdev, const char* devname);
    // devname: the device's sysfs entry, in full.
    int get_device_descriptor(dis_dev* pdev, const char* devname);
    int get_devdesc_from_file(unsigned char* pDevDesc, const char* devname);
    int get_devdesc_from_dev(unsigned char* pDevDesc, dis_dev* pdev);
    int discover_lumora_device();
    uint16_t le16_to_host(uint16_t x);
    // Whether a listed reader is the one followed (any reader when nothing is).
    bool is_followed(const dis_dev* pdev) const;

    const char* m_pUsbPath;
    const char* m_pSysPath;
    int m_bHasDescFile;
    lm_list_head m_dis_head;
    dis_dev* m_lumora_device;
    int m_bFollowing;
    char m_followPort[LM_PORT_MAX + 1];
    char m_followSerial[LM_SERIAL_MAX + 1];
    int m_nReaders;
    int m_nOthers;

private:
    void release_device_list();
    // Recursive: a public step may call another while holding it.
    std::recursive_mutex m_lock;
};

#endif
