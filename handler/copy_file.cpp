// Stores a document: copy into a new file beside the destination, then rename
// it into place.  "/tmp/" is shared with everyone, so the destination is never
// opened by name (a planted symbolic link would be followed) and a failed copy
// never leaves a partial file under the destination's name.
#include "handler/upload.h"

#include "cgi/internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char temp_name[] = "ostrel-storeXXXXXX";

// New file beside dst; its path is written to tmp.
FILE *open_beside(const char *dst, char *tmp, size_t size)
{
    const char *slash = std::strrchr(dst, '/');
    int dir_len = slash ? static_cast<int>(slash - dst + 1) : 0;
    int n = std::snprintf(tmp, size, "%.*s%s", dir_len, dst, temp_name);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return nullptr;
    int fd = ostrel::create_file(tmp, false); // deleted if a signal ends us
    if (fd < 0)
        return nullptr;
    // mkstemp makes 0600; give the document the mode that "wb" would.
    mode_t mask = umask(0);
    umask(mask);
    FILE *f = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!f) {
        close(fd);
        ostrel::remove_file(tmp);
    }
    return f;
}

bool copy_stream(FILE *in, FILE *out)
{
    char buf[16384];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0)
        if (std::fwrite(buf, 1, n, out) != n)
            return false;
    return !std::ferror(in);
}

} // namespace

extern "C" int copy_file(const char *src, const char *dst)
{
    FILE *in = std::fopen(src, "rb");
    if (!in)
        return 1;
    char tmp[4096];
    FILE *out = open_beside(dst, tmp, sizeof tmp);
    if (!out) {
        std::fclose(in);
        return 1;
    }
    bool ok = copy_stream(in, out);
    ok = std::fclose(in) == 0 && ok;
    ok = std::fclose(out) == 0 && ok; // a full disk may show only here
    if (ok && ostrel::rename_file(tmp, dst) == 0)
        return 0;
    ostrel::remove_file(tmp);
    return 1;
}
