// Leveled debug trace: off by default, to the HTML page, standard error or syslog.
#include "cgi/internal.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace {
int debug_level = 0;
int debug_target = 1; // 0 page, 1 standard error, 2 system log
} // namespace

extern "C" void cgi_debug_setup(int level, int target)
{
    debug_level = level > 0 ? level : 0;
    if (target <= 0)
        return;
    if (target > 2) {
        debug_target = 0;
        return;
    }
    debug_target = target;
    if (target == 2)
        openlog("ostrel", LOG_PID, LOG_USER);
}

void ostrel::vtrace(FILE *page, FILE *err, int level, const char *format, va_list ap)
{
    if (level > debug_level)
        return;
    switch (debug_target) {
    case 0:
        std::fputs("<pre>\n", page);
        std::vfprintf(page, format, ap);
        std::fputs("\n</pre>\n", page);
        break;
    case 1:
        std::vfprintf(err, format, ap);
        std::fputc('\n', err);
        break;
    case 2: vsyslog(LOG_DEBUG, format, ap); break;
    default: break;
    }
}

std::nullptr_t ostrel::out_of_memory(const char *what)
{
    cgi_trace(1, "Out of memory: %s", what);
    return nullptr;
}

extern "C" void cgi_trace(int level, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    ostrel::vtrace(stdout, stderr, level, format, ap);
    va_end(ap);
}
