// Cookie reader and cookie lookups.
//
// HTTP_COOKIE is read in one pass with a cursor.  Items are separated by ";"
// or ",": RFC 6265 has only "; ", but RFC 2965 clients joined cookies with
// "," and their headers still arrive.  A "$version", "$path" or "$domain"
// item (RFC 2965 attributes, which RFC 6265 dropped) sets that attribute on
// the open record; any other named item is a cookie.  Records opened after the
// first cookie is in the list start with the first cookie's version string:
// they share it, and only the first cookie owns it.
#include "cgi/internal.h"

#include <cstdint>
#include <cstring>

using namespace ostrel;

namespace {

struct Item {
    const char *name;
    size_t name_len;
    const char *value;
    size_t value_len;
};

// Reads the item that starts at p; returns where it ends: at the ";" or ","
// after a plain value, at the closing quote of a quoted one, or at the end of
// the text.  Only spaces (not tabs) are skipped.  A quoted value loses its
// quotes, which RFC 6265 keeps as part of the value: callers compare the
// bare text, as RFC 2965 had it.
const char *scan_item(const char *p, Item &item)
{
    while (*p == ' ')
        p++;
    item.name = p;
    while (*p && *p != ' ' && *p != '=' && *p != ';' && *p != ',')
        p++;
    item.name_len = static_cast<size_t>(p - item.name);
    while (*p == ' ' || *p == '=')
        p++;
    if (*p == '"') {
        item.value = ++p;
        while (*p && *p != '"')
            p++;
    } else {
        item.value = p;
        while (*p && *p != ';' && *p != ',')
            p++;
    }
    item.value_len = static_cast<size_t>(p - item.value);
    return p;
}

// Case-insensitive (ASCII, whatever the locale) test that the name begins
// with the keyword.  A prefix, not the whole name as RFC 2965 has it:
// "$Versions" counts as "$version", as the records stored so far were read.
bool has_prefix(const Item &item, const char *keyword, size_t len)
{
    if (item.name_len < len)
        return false;
    for (size_t i = 0; i < len; i++) {
        char c = item.name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != keyword[i])
            return false;
    }
    return true;
}

// The field a "$" item sets, or null for a "$" name that is no attribute.
char *cgi_cookie::*attribute_field(const Item &item)
{
    if (has_prefix(item, "$version", 8))
        return &cgi_cookie::version;
    if (has_prefix(item, "$path", 5))
        return &cgi_cookie::path;
    if (has_prefix(item, "$domain", 7))
        return &cgi_cookie::domain;
    return nullptr;
}

// The list being built and the open record, which is not in the list yet.
// Whatever is still held is freed on exit.
class CookieList {
public:
    ~CookieList() { drop_open(); }

    bool start() { return list_.reserve(); }

    cgi_cookie *open() const { return open_; }

    // A record with all fields null, except the version that later records
    // share with the first cookie.
    bool open_record()
    {
        open_ = static_cast<cgi_cookie *>(std::calloc(1, sizeof *open_));
        if (!open_) {
            ostrel::out_of_memory("a cookie record");
            return false;
        }
        open_->version = shared_version();
        return true;
    }

    // Moves the open record into the list.  False when the list cannot grow.
    bool append()
    {
        if (!list_.append(open_))
            return false;
        open_ = nullptr;
        return true;
    }

    // Stores a new attribute value in the open record.  The replaced string
    // is freed, except the shared version, which the first cookie still holds.
    void set_attribute(char *cgi_cookie::*field, char *value)
    {
        char *old = open_->*field;
        if (!(field == &cgi_cookie::version && old == shared_version()))
            std::free(old);
        open_->*field = value;
    }

    // The records appended so far; the open record is dropped.
    cgi_cookie **take()
    {
        drop_open();
        return list_.take();
    }

private:
    char *shared_version() const { return list_.count() ? list_.at(0)->version : nullptr; }

    void drop_open()
    {
        if (!open_)
            return;
        free_cookie(open_, shared_version());
        open_ = nullptr;
    }

    PtrList<cgi_cookie, free_cookies> list_;
    cgi_cookie *open_ = nullptr;
};

} // namespace

// Out of memory: for the list itself, null; while opening a record or
// copying text, the records appended so far.
cgi_cookie **ostrel::read_cookies(const char *header)
{
    const char *p = header;
    if (!p)
        return nullptr;
    CookieList cookies;
    if (!cookies.start())
        return nullptr;
    while (*p) {
        Item item;
        p = scan_item(p, item);
        if (*p) // a separator or a closing quote
            p++;
        if (item.name_len == 0)
            continue;
        if (item.name[0] == '$') {
            char *cgi_cookie::*field = attribute_field(item);
            if (!field)
                continue;
            if (!cookies.open() && !cookies.open_record())
                return cookies.take();
            char *value = copy_bytes(item.value, item.value_len);
            if (!value)
                return cookies.take();
            cookies.set_attribute(field, value);
            continue;
        }
        // Only attributes before the first cookie leave a nameless record.
        if (cookies.open() && cookies.open()->name && !cookies.append())
            return nullptr;
        if (!cookies.open() && !cookies.open_record())
            return cookies.take();
        cgi_cookie *c = cookies.open();
        if (!(c->name = copy_bytes(item.name, item.name_len)) || !(c->value = copy_bytes(item.value, item.value_len)))
            return cookies.take();
    }
    if (cookies.open() && !cookies.append())
        return nullptr;
    return cookies.take();
}

extern "C" cgi_cookie *cgi_get_cookie(const cgi_request *req, const char *name)
{
    if (!req || !req->cookies)
        return nullptr;
    for (cgi_cookie **c = req->cookies; *c; c++) {
        if ((*c)->name && (*c)->value && std::strcmp((*c)->name, name) == 0) {
            cgi_trace(1, "%s found as %s\n", name, (*c)->value);
            return *c;
        }
    }
    cgi_trace(1, "%s not found\n", name);
    return nullptr;
}

// Names of the records that have a name and a value; the nameless record of
// an attributes-only header is left out.
extern "C" char **cgi_cookie_names(const cgi_request *req)
{
    if (!req || !req->cookies)
        return nullptr;
    size_t n = 0;
    for (cgi_cookie **c = req->cookies; *c; c++)
        if ((*c)->name && (*c)->value)
            n++;
    char **names = static_cast<char **>(std::calloc(n + 1, sizeof *names));
    if (!names)
        return ostrel::out_of_memory("a list of cookie names");
    size_t i = 0;
    for (cgi_cookie **c = req->cookies; *c; c++) {
        if (!(*c)->name || !(*c)->value)
            continue;
        if (!(names[i++] = copy_string((*c)->name))) {
            cgi_free_list(names);
            return nullptr;
        }
    }
    return names;
}

extern "C" cgi_cookie **cgi_read_cookies(void) { return ostrel::read_cookies(std::getenv("HTTP_COOKIE")); }
