// Line reader.  (Placeholder.)
#include "cgi/internal.h"
extern "C" char *cgi_read_line(FILE *) { return nullptr; }
size_t ostrel::line_buffer_capacity() { return 0; }
