// Multipart reader.  (Placeholder.)
#include "cgi/internal.h"
extern "C" cgi_request *cgi_read_multipart(const char *) { return nullptr; }
