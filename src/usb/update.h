// The one way to the reader: connection test, variant, and flash writes.
#ifndef LUMORA_USB_UPDATE_H
#define LUMORA_USB_UPDATE_H

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>

class lm_discovery;
class lm_transfer;

class lm_update {
public:
    lm_update();
    ~lm_update();
    lm_update(const lm_update&) = delete;
    lm_update& operator=(const lm_update&) = delete;

    // 0 when the reader is attached in update mode, -1 when not.
    int get_device_connect_status();
    // The reader's variant: 64 or 32; -1 for a refused model or no reader.
    int get_lumora_buffer_size();
    // 0 written, -1 failed, 2 when size is 0 (nothing sent).
    int write_flash(u_int32_t addrs, u_char* buf, int size);
    // Fraction of the current or last write that the reader has taken.
    float get_progress();
    // 1 when the last write_flash got bytes to the reader (it took at
    // least one URB of the frame), 0 when it failed before that.
    int last_write_sent() const { return m_nLastSent; }
    // The bus and device numbers of the reader last found, as one number
    // (bus * 256 + device), or -1. A reader that restarted comes back with
    // another device number.
    int get_device_address();
    int open_dev();

    // From here on only this reader is written (see lm_discovery::set_followed).
    void follow_reader(const std::string& port, const std::string& serial);
    // Where the reader last found is plugged in, and its serial number
    // (empty when it has none): 0, or -1 when no reader was found.
    int get_reader_identity(std::string* port, std::string* serial);
    // Readers in update mode seen by the last look that listed the bus, and
    // how many of them were not the reader followed.
    int readers_attached();
    int other_readers_attached();

    // The reader is one device however many lm_update objects look at it
    // (the Warning page's check has one of its own). The operations that
    // send it requests, the variant read and the flash write, hold this
    // process-wide lock, and a caller may hold it around several of them.
    static std::recursive_mutex& reader_lock();

    lm_discovery* m_pDis;
    lm_transfer* m_pTrans;

private:
    int m_nLastSent;
    // Opens the match's node; iproduct, when not null, receives the
    // product string index of that same match.
    int open_matched(uint8_t* iproduct);
};

#endif
