// In-place percent-decoding.
#include "cgi/cgi.h"

#include <cstring>

namespace {
int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
} // namespace

extern "C" char *cgi_decode(char *text)
{
    char *r = text, *w = text;
    while (*r) {
        if (*r != '%') {
            *w++ = *r++;
            continue;
        }
        int hi = hex_value(static_cast<unsigned char>(r[1]));
        int lo = hi < 0 ? -1 : hex_value(static_cast<unsigned char>(r[2]));
        if (lo < 0) {
            r++; // RFC 3986 has no meaning for it: only the "%" is lost
            continue;
        }
        *w++ = static_cast<char>(hi * 16 + lo);
        r += 3;
    }
    if (w != r) // the bytes that decoding freed are zeroed
        std::memset(w, 0, static_cast<size_t>(r - w));
    return text;
}
