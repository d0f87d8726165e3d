// Cookie reader and cookie lookups.  (Placeholder until the reader lands.)
#include "cgi/internal.h"

extern "C" cgi_cookie **cgi_read_cookies(void) { return nullptr; }
extern "C" cgi_cookie *cgi_get_cookie(const cgi_request *, const char *) { return nullptr; }
extern "C" char **cgi_cookie_names(const cgi_request *) { return nullptr; }
