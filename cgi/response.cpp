// Response output: header block, redirect page, HTML escaping.
#include "cgi/internal.h"

#include <cstdio>
#include <cstring>

namespace {

// Process-wide response state; both unset until set, cleared by
// cgi_free_request.  header_lines holds whole "name: value\r\n" lines and is
// always allocated at its exact size.
char *content_type = nullptr;
char *header_lines = nullptr;

// The entity that replaces byte c, or null when c stays.  The double quote
// is replaced only where the text goes into an attribute value.
const char *entity(char c, bool quote)
{
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return quote ? "&quot;" : nullptr;
    default: return nullptr;
    }
}

size_t escaped_length(const char *s, size_t n, bool quote)
{
    size_t len = 0;
    for (size_t i = 0; i < n; i++) {
        const char *e = entity(s[i], quote);
        len += e ? std::strlen(e) : 1;
    }
    return len;
}

void put_escaped(FILE *out, const char *s, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        const char *e = entity(s[i], true);
        if (e)
            std::fputs(e, out);
        else
            std::putc(static_cast<unsigned char>(s[i]), out);
    }
}

} // namespace

void ostrel::reset_response_state()
{
    std::free(header_lines);
    header_lines = nullptr;
    std::free(content_type);
    content_type = nullptr;
}

using namespace ostrel;

extern "C" int cgi_set_header(const char *name, const char *value)
{
    if (!name || !*name || !value || !*value)
        return 0;
    size_t n = std::strcspn(name, " :\r\n"); // a cut name part may be empty
    size_t v = line_length(value);
    size_t old = header_lines ? std::strlen(header_lines) : 0;
    char *lines = static_cast<char *>(std::realloc(header_lines, old + n + v + 5));
    if (!lines) {
        ostrel::out_of_memory("a header line");
        return 0; // the lines recorded so far stay
    }
    char *p = lines + old;
    std::memcpy(p, name, n);
    p += n;
    *p++ = ':';
    *p++ = ' ';
    std::memcpy(p, value, v);
    p += v;
    std::memcpy(p, "\r\n", 3);
    header_lines = lines;
    return 1;
}

extern "C" int cgi_set_type(const char *type)
{
    if (!type || !*type)
        return 0;
    std::free(content_type);
    content_type = copy_bytes(type, line_length(type));
    return content_type != nullptr;
}

void ostrel::emit_header(FILE *out)
{
    std::fprintf(out, "Content-type: %s\r\n", content_type ? content_type : "text/html");
    if (header_lines)
        std::fputs(header_lines, out);
    std::fputs("\r\n", out);
}

// The URL ends before any CR or LF, so it cannot add header lines, and is
// escaped in the page, so it cannot leave the attribute; Content-length
// counts the escaped bytes actually written.
void ostrel::redirect(FILE *out, const char *url)
{
    size_t n = url ? line_length(url) : 0;
    if (n == 0)
        return;
    static const char opening[] = "<html>\n<body>\nThe page has been moved to <a href=\"", middle[] = "\">",
                      closing[] = "</a>\n</body>\n</html>\n";
    size_t body = sizeof opening + sizeof middle + sizeof closing - 3 + 2 * escaped_length(url, n, true);
    std::fprintf(out, "Content-type: text/html\r\nContent-length: %zu\r\n", body);
    std::fputs("Status: 302 Temporal Relocation\r\n", out);
    std::fputs("Location: ", out);
    std::fwrite(url, 1, n, out);
    std::fputs("\r\n\r\n", out);
    std::fputs(opening, out);
    put_escaped(out, url, n);
    std::fputs(middle, out);
    put_escaped(out, url, n);
    std::fputs(closing, out);
}

extern "C" void cgi_emit_header(void) { emit_header(stdout); }

extern "C" void cgi_redirect(const char *url) { redirect(stdout, url); }

extern "C" char *cgi_escape_html(const char *text)
{
    if (!text)
        return nullptr;
    size_t n = std::strlen(text);
    size_t len = escaped_length(text, n, false);
    if (len == n)
        return copy_bytes(text, n);
    char *out = static_cast<char *>(std::malloc(len + 1));
    if (!out)
        return ostrel::out_of_memory("escaped text");
    char *p = out;
    for (size_t i = 0; i < n; i++) {
        const char *e = entity(text[i], false);
        if (e) {
            size_t k = std::strlen(e);
            std::memcpy(p, e, k);
            p += k;
        } else {
            *p++ = text[i];
        }
    }
    *p = '\0';
    return out;
}
