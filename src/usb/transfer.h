// The usbfs transport: opens the reader's node, streams bytes as bulk URBs
// to endpoint 3 and reads the product string descriptor.
#ifndef LUMORA_USB_TRANSFER_H
#define LUMORA_USB_TRANSFER_H

#include <linux/usbdevice_fs.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

// Exactly the kernel's records, so their addresses can go to the ioctls.
typedef struct usbdevfs_urb lm_urb;
typedef struct usbdevfs_ctrltransfer lm_usb_request;

enum {
    LM_URB_BYTES = 16384,
    // usbfs caps the memory of URBs in flight (16 MiB machine-wide by
    // default), so a block is streamed through a window of 64 URBs (1 MiB),
    // the next one submitted as the oldest completes.
    LM_URBS_IN_FLIGHT = 64,
    LM_BULK_ENDPOINT = 3,
    LM_URB_WAIT_MS = 2000,
    // A reader that never answers its product-string request holds up the
    // Warning page's check and the download no longer than this; a request
    // that timed out is a failed identification (-1), not an empty string.
    LM_CTRL_TIMEOUT_MS = 1000,
    LM_CTRL_REPLY_UNITS = 128,
    LM_CTRL_MAX_OUT = 4096,
};

extern const char LM_PRODUCT_64[];       // "ORVEX LUMORA64 UPDate"
extern const char LM_PRODUCT_REFUSED[];  // "Kavely Tra 4303"

// The bytes of one stream. The transport asks for them one URB at a time,
// in order, just before it submits that URB, and copies none of them: usbfs
// takes a URB's bytes from the caller's memory when it is submitted.
class lm_stream_source {
public:
    virtual ~lm_stream_source() {}
    virtual unsigned int size() const = 0;
    // The n bytes at offset, in memory that stays valid and unchanged until
    // the stream ends; null when they cannot be had.
    virtual const unsigned char* piece(unsigned int offset, unsigned int n) = 0;
};

class lm_transfer {
public:
    lm_transfer();
    ~lm_transfer();
    lm_transfer(const lm_transfer&) = delete;
    lm_transfer& operator=(const lm_transfer&) = delete;

    int open_lumora_dev(const char* path, int major, int minor);
    // Opens the node at a full usbfs path; keeps a node already open.
    int open_node(const char* node);
    int close_lumora_dev();
    int claim_ctrl_interface();
    // 0 when every byte was reported complete, else -1.
    int transfer_bulk_data(unsigned char* buf, unsigned int size);
    // The same for bytes that source hands out URB by URB.
    int stream_bulk(lm_stream_source& source);
    // Waits for, reaps and accounts one completed URB.
    int poll_bulk_urb();
    int make_bulk_urb_package(lm_urb* urb, unsigned char* buf, int len);
    // Reads string descriptor iProduct as 8-bit text into buf (at least 128
    // bytes). -1 when the request timed out; other failures leave buf as it was.
    int transfer_ctrl_data(uint8_t iProduct, uint16_t language, unsigned char* buf, int len);
    int make_ctrl_request_package(lm_usb_request* rq, uint8_t iProduct, uint16_t language,
                                  uint16_t* buf, int datalen);
    // 64, 32, or -1 for the refused model, a timed-out request or a failed read.
    int get_lumora_buffer_size(uint8_t iproduct);
    float get_progress();
    // Frames len bytes for flash address addrs and streams them.
    int write_flash(u_int32_t addrs, u_char* data, int len);

    int m_fd;
    lm_urb* m_urbs;  // the window's URB records, LM_URBS_IN_FLIGHT of them, reused in turn
    int m_nurbs;     // URBs of the running transfer
    int m_nSuccess;
    int m_nTransfered;
    std::atomic<float> m_fProgress;  // read by the status poll while a block streams
    int m_ndata_size;
    int m_nSubmitted;  // URBs of the running transfer submitted so far
    int m_nReaped;     // URBs of the running transfer reaped so far; they complete in order

private:
    int begin_bulk_transfer(lm_stream_source& source);
    int submit_urb(int index);
    lm_urb* slot_urb(int index) { return &m_urbs[index % m_nslots]; }
    void discard_in_flight();
    void end_bulk_transfer();

    lm_stream_source* m_source;  // of the running transfer
    int m_nslots;
    unsigned char* m_frame_ends;  // a flash frame's first and last URBs, in m_urbs' block
};

#endif
