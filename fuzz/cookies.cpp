// The cookie reader over any HTTP_COOKIE text, and the two cookie queries.
#include "fuzz/common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string header = fuzz::c_string(std::string(reinterpret_cast<const char *>(data), size));
    std::string text = header;
    cgi_cookie **list = ostrel::read_cookies(text.c_str());
    FUZZ_CHECK(list, "no list for a set header");
    FUZZ_CHECK(text == header, "the header was changed");

    size_t n = 0, named = 0;
    for (; list[n]; n++) {
        const cgi_cookie *c = list[n];
        if (!c->name) {
            // Only a header of attributes alone gives a nameless record.
            FUZZ_CHECK(n == 0 && !list[1] && !c->value, "nameless record %zu", n);
            FUZZ_CHECK(c->version || c->path || c->domain, "a record with nothing in it");
            continue;
        }
        named++;
        FUZZ_CHECK(c->value, "cookie %s without a value", c->name);
        FUZZ_CHECK(c->name[0] && c->name[0] != '$', "cookie name '%s'", c->name);
        FUZZ_CHECK(!std::strpbrk(c->name, " =;,"), "cookie name '%s' holds a separator", c->name);
        FUZZ_CHECK(header.find(c->name) != std::string::npos, "name %s is not in the header", c->name);
        FUZZ_CHECK(header.find(c->value) != std::string::npos, "value %s is not in the header", c->value);
        // A later cookie's version is the first one's string or one of its own.
        for (size_t j = 1; j < n; j++)
            FUZZ_CHECK(!c->version || c->version != list[j]->version || c->version == list[0]->version,
                       "cookies %zu and %zu share a version string of their own", j, n);
    }

    cgi_request *req = static_cast<cgi_request *>(std::calloc(1, sizeof *req));
    if (!req)
        std::abort();
    req->cookies = list;
    char **names = cgi_cookie_names(req);
    FUZZ_CHECK(names, "no names list");
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        if (!list[i]->name)
            continue;
        FUZZ_CHECK(names[k] && std::strcmp(names[k], list[i]->name) == 0, "name %zu", k);
        k++;
        cgi_cookie *first = cgi_get_cookie(req, list[i]->name);
        FUZZ_CHECK(first && std::strcmp(first->name, list[i]->name) == 0, "lookup of %s", list[i]->name);
        for (size_t j = 0; list[j] != first; j++)
            FUZZ_CHECK(!list[j]->name || std::strcmp(list[j]->name, first->name) != 0, "not the first");
    }
    FUZZ_CHECK(k == named && !names[k], "names list length");
    cgi_free_list(names);
    cgi_free_request(req);
    return 0;
}
