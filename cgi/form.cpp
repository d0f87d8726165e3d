// Form reader.  (Placeholder.)
#include "cgi/internal.h"
extern "C" cgi_request *cgi_read_form(void) { return nullptr; }
