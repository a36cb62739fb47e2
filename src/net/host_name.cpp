#include "net/host_name.h"

#include <arpa/inet.h>
#include <string.h>

namespace lm_net {

namespace {

const size_t kMaxHostLen = 253;
const size_t kMaxLabelLen = 63;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_label_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '-' || c == '_';
}

// Four decimal numbers 0 to 255 joined by dots, without leading zeros.
bool dotted_quad(const char* text)
{
    int parts = 0;
    const char* at = text;
    for (;;) {
        size_t digits = strspn(at, "0123456789");
        if (digits == 0 || digits > 3 || (digits > 1 && at[0] == '0'))
            return false;
        int value = 0;
        for (size_t i = 0; i < digits; i++)
            value = value * 10 + (at[i] - '0');
        if (value > 255)
            return false;
        parts++;
        at += digits;
        if (*at == '\0')
            return parts == 4;
        if (*at != '.' || parts == 4)
            return false;
        at++;
    }
}

}  // namespace

bool plain_host(const char* text)
{
    if (!text || !*text || strlen(text) > kMaxHostLen)
        return false;
    const char* label = text;
    bool numeric_last = false;
    for (;;) {
        size_t len = 0;
        bool numeric = true;
        while (is_label_char(label[len])) {
            numeric = numeric && is_digit(label[len]);
            len++;
        }
        if (len == 0 || len > kMaxLabelLen || label[0] == '-' || label[len - 1] == '-')
            return false;
        numeric_last = numeric;
        if (label[len] == '\0')
            break;
        if (label[len] != '.')
            return false;
        label += len + 1;
    }
    // Whatever the resolver reads as an address ("0x7f000001", "1.0x7f",
    // "127.1") must be the plain dotted quad, or it is refused.
    struct in_addr address;
    bool numeric = numeric_last || inet_aton(text, &address) != 0;
    return !numeric || dotted_quad(text);
}

}  // namespace lm_net
