// The request record: reading a whole request, lookups, name lists, release.
#include "cgi/internal.h"

#include <cstring>

namespace ostrel {

char *copy_bytes(const char *s, size_t n)
{
    char *p = static_cast<char *>(std::malloc(n + 1));
    if (!p)
        return out_of_memory("a copy of a name or value");
    std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

char *copy_string(const char *s) { return copy_bytes(s, std::strlen(s)); }

size_t line_length(const char *s) { return std::strcspn(s, "\r\n"); }

void free_var(cgi_var *v)
{
    if (!v)
        return;
    std::free(v->name);
    std::free(v->value);
    std::free(v);
}

// A null-terminated list with each entry.
template <class T, void (*Free)(T *)> static void free_list(T **list)
{
    if (!list)
        return;
    for (T **p = list; *p; p++)
        Free(*p);
    std::free(list);
}

void free_vars(cgi_var **list) { free_list<cgi_var, free_var>(list); }

void free_uploads(cgi_upload **list) { free_list<cgi_upload, free_upload>(list); }

void free_upload(cgi_upload *u)
{
    if (!u)
        return;
    std::free(u->name);
    std::free(u->type);
    std::free(u->filename);
    if (u->path) {
        remove_file(u->path); // already gone is fine
        std::free(u->path);
    }
    std::free(u);
}

// Cookies after the first may share the first cookie's version string; a
// version of their own is told apart by its address.
void free_cookies(cgi_cookie **list)
{
    if (!list)
        return;
    const char *shared = list[0] ? list[0]->version : nullptr;
    for (size_t i = 0; list[i]; i++)
        free_cookie(list[i], i == 0 ? nullptr : shared);
    std::free(list);
}

void free_cookie(cgi_cookie *c, const char *shared_version)
{
    if (c->version != shared_version)
        std::free(c->version);
    std::free(c->name);
    std::free(c->value);
    std::free(c->path);
    std::free(c->domain);
    std::free(c);
}

} // namespace ostrel

using namespace ostrel;

cgi_request *ostrel::add_cookies(cgi_request *req, const char *header)
{
    if (!req)
        return nullptr;
    req->cookies = read_cookies(header);
    if (!req->variables && !req->cookies && !req->uploads) {
        std::free(req);
        return nullptr;
    }
    return req;
}

extern "C" cgi_request *cgi_read_request(void)
{
    cgi_request *req = cgi_read_form();
    return ostrel::add_cookies(req, std::getenv("HTTP_COOKIE"));
}

extern "C" const char *cgi_get_value(const cgi_request *req, const char *name)
{
    if (!req || !req->variables)
        return nullptr;
    for (cgi_var **v = req->variables; *v; v++) {
        if (std::strcmp((*v)->name, name) == 0) {
            cgi_trace(1, "%s found as %s", name, (*v)->value);
            return (*v)->value[0] ? (*v)->value : nullptr;
        }
    }
    cgi_trace(1, "%s not found", name);
    return nullptr;
}

extern "C" cgi_upload *cgi_get_upload(const cgi_request *req, const char *name)
{
    if (!req || !req->uploads)
        return nullptr;
    for (cgi_upload **u = req->uploads; *u; u++) {
        if (std::strcmp((*u)->name, name) == 0) {
            cgi_trace(1, "%s found as %s", name, (*u)->filename);
            return *u;
        }
    }
    cgi_trace(1, "%s not found", name);
    return nullptr;
}

// New null-terminated list of copies of each entry's name.
template <class Entry> static char **name_list(Entry *const *entries)
{
    if (!entries)
        return nullptr;
    size_t n = 0;
    while (entries[n])
        n++;
    char **list = static_cast<char **>(std::calloc(n + 1, sizeof *list));
    if (!list)
        return ostrel::out_of_memory("a list of names");
    for (size_t i = 0; i < n; i++) {
        if (!(list[i] = copy_string(entries[i]->name))) {
            cgi_free_list(list);
            return nullptr;
        }
    }
    return list;
}

extern "C" char **cgi_variable_names(const cgi_request *req) { return req ? name_list(req->variables) : nullptr; }

extern "C" char **cgi_upload_names(const cgi_request *req) { return req ? name_list(req->uploads) : nullptr; }

extern "C" void cgi_free_list(char **list)
{
    if (!list)
        return;
    for (char **p = list; *p; p++)
        std::free(*p);
    std::free(list);
}

extern "C" void cgi_free_request(cgi_request *req)
{
    if (!req)
        return;
    free_vars(req->variables);
    free_cookies(req->cookies);
    free_uploads(req->uploads);
    forget_moved_files();
    std::free(req);
    reset_response_state();
}
