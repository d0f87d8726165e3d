// The upload handler's decisions: which receiver and document, where stored,
// what to answer.
#include "handler/upload.h"

#include "cgi/internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// Refused in a receiver or client file name: "/" would leave "/tmp/", control
// bytes would reach a file name and the answer.
static bool safe_name_part(const char *s)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++)
        if (*p == '/' || *p < 0x20 || *p == 0x7F)
            return false;
    return true;
}

// The spool file is ours and is deleted at the release anyway: renaming it
// into place stores the document without copying a byte and replaces a
// planted link rather than following it.  Only when that fails (another
// file system) is the document copied.
static int move_file(const char *spool, const char *dst)
{
    mode_t mask = umask(0);
    umask(mask);
    if (chmod(spool, 0666 & ~mask) != 0) // the mode "wb" would have given it
        return 1;
    // An older document goes first: renamed over, it would make ext4 write
    // the new one out to disk at once (its guard for files replaced by a
    // rename), which costs more than the whole request; a file under /tmp
    // needs no such guard.
    unlink(dst);
    return ostrel::rename_file(spool, dst) == 0 ? 0 : 1;
}

extern "C" int store_upload(cgi_request *req, char *dest)
{
    const char *receiver = cgi_get_value(req, "fxreceiver");
    if (!receiver || std::strlen(receiver) >= FAX_PATH_SIZE || !safe_name_part(receiver))
        return 1;
    cgi_upload *doc = cgi_get_upload(req, "fxdatei");
    if (!doc || !safe_name_part(doc->filename))
        return 1;
    char path[FAX_PATH_SIZE];
    int n = std::snprintf(path, sizeof path, "/tmp/%s.%s.sff", receiver, doc->filename);
    if (n < 0 || n >= FAX_PATH_SIZE)
        return 1;
    std::memcpy(dest, path, static_cast<size_t>(n) + 1);
    if (move_file(doc->path, dest) != 0)
        return copy_file(doc->path, dest);
    // Renamed, the spool name is free: another request's mkstemp may take
    // it before the release, which must then not delete by that name (nor
    // does a signal's handler: rename_file forgot it).
    std::free(doc->path);
    doc->path = nullptr;
    return 0;
}

// The stored path travels in a query string: everything but unreserved
// characters and "/" is escaped, so the fax-sending page reads it back exactly.
static void write_query_value(FILE *out, const char *s)
{
    static const char hex[] = "0123456789ABCDEF";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        unsigned char c = *p;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("-._~/", c))
            std::fputc(c, out);
        else
            std::fprintf(out, "%%%c%c", hex[c >> 4], hex[c & 15]);
    }
}

extern "C" void write_answer(FILE *out, int result, const char *dest)
{
    std::fputs("Location: ./faxsnd.cgi?action=upload&work=ok", out);
    if (result == 0) {
        std::fputs("&faxfile=", out);
        write_query_value(out, dest);
    }
    std::fputs("\n\n", out);
}
