// Spool.  (Placeholder.)
#include "cgi/internal.h"
extern "C" char *cgi_spool_part(FILE *, const char *) { return nullptr; }
