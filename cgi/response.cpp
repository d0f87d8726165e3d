// Response output: header block, redirect page, HTML escaping.  (Placeholder.)
#include "cgi/internal.h"

#include <cstdlib>

namespace {
char *content_type = nullptr;
char *header_lines = nullptr;
} // namespace

void ostrel::reset_response_state()
{
    std::free(header_lines);
    header_lines = nullptr;
    std::free(content_type);
    content_type = nullptr;
}

extern "C" int cgi_set_header(const char *, const char *) { return 0; }
extern "C" int cgi_set_type(const char *) { return 0; }
extern "C" void cgi_emit_header(void) {}
extern "C" void cgi_redirect(const char *) {}
extern "C" char *cgi_escape_html(const char *) { return nullptr; }
