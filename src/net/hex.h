// One hexadecimal digit's value, for chunk sizes and %XX escapes.
#ifndef LUMORA_NET_HEX_H
#define LUMORA_NET_HEX_H

namespace lm_net {

// 0 to 15, or -1 for a character that is no hexadecimal digit.
inline int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace lm_net

#endif
