// Spooling one file part from the input stream into "/tmp/ostrelXXXXXX".
//
// The data ends at the first CR LF + boundary.  Bytes that match the start of
// that delimiter are held back (only their count: they are the delimiter's
// own first bytes) until the match completes or breaks; then they are data.
// Nothing is read beyond what the data and its delimiter line consume, since
// the line reader takes the next part's headers from the same stream.
#include "cgi/internal.h"

#include <cstring>
#include <unistd.h>

namespace {

// Where the C library lets us see the bytes a stream has already buffered,
// the data between carriage returns is found a block at a time; elsewhere
// every byte goes through getc.
#if defined(__GLIBC__) && !defined(OSTREL_PORTABLE_STREAMS)
size_t buffered(FILE *f, const unsigned char **bytes)
{
    *bytes = reinterpret_cast<const unsigned char *>(f->_IO_read_ptr);
    return static_cast<size_t>(f->_IO_read_end - f->_IO_read_ptr);
}
void consume(FILE *f, size_t n) { f->_IO_read_ptr += n; }
#else
size_t buffered(FILE *, const unsigned char **) { return 0; }
void consume(FILE *, size_t) {}
#endif

const char spool_template[] = "/tmp/ostrelXXXXXX";

struct Spool {
    FILE *in;
    FILE *out;
    const unsigned char *pattern; // CR LF and the boundary
    size_t length;                // of the pattern
    size_t held = 0;              // pattern bytes matched so far
    bool failed = false;          // a write failed: keep consuming, store nothing

    void write(const void *bytes, size_t n)
    {
        if (!failed && n && std::fwrite(bytes, 1, n, out) != n)
            failed = true;
    }
    void release_held()
    {
        write(pattern, held);
        held = 0;
    }

    // Bytes that the stream holds already: writes the data before the first
    // place where the delimiter may start and consumes it.  True when the
    // whole delimiter was found there (and consumed).
    bool scan_buffered()
    {
        const unsigned char *p;
        size_t n = buffered(in, &p), pos = 0, data = n;
        while (pos < n) {
            const void *cr = std::memchr(p + pos, '\r', n - pos);
            if (!cr)
                break;
            size_t at = static_cast<size_t>(static_cast<const unsigned char *>(cr) - p);
            size_t k = 1;
            while (k < length && at + k < n && p[at + k] == pattern[k])
                k++;
            if (k == length) { // the delimiter
                write(p, at);
                consume(in, at + length);
                return true;
            }
            if (at + k == n) { // undecided until more input arrives
                data = at;
                break;
            }
            pos = at + k; // the breaking byte may start a match itself
        }
        write(p, data);
        consume(in, data);
        return false;
    }

    // One byte through getc.  True when it completes the delimiter.
    bool step(int c)
    {
        if (held > 0 && static_cast<unsigned char>(c) == pattern[held]) {
            return ++held == length;
        }
        release_held();
        if (c == '\r')
            held = 1;
        else {
            unsigned char b = static_cast<unsigned char>(c);
            write(&b, 1);
        }
        return false;
    }

    // Copies data up to the delimiter.  False when the input ended first.
    bool copy()
    {
        for (;;) {
            if (held == 0 && scan_buffered())
                return true;
            int c = getc(in);
            if (c == EOF) {
                release_held();
                return false;
            }
            if (step(c))
                return true;
        }
    }
};

} // namespace

extern "C" char *cgi_spool_part(FILE *in, const char *boundary)
{
    size_t b = std::strlen(boundary);
    ostrel::Owned<char> pattern(static_cast<char *>(std::malloc(b + 3)));
    if (!pattern)
        return nullptr;
    std::memcpy(pattern.get(), "\r\n", 2);
    std::memcpy(pattern.get() + 2, boundary, b + 1);

    char path[sizeof spool_template];
    std::memcpy(path, spool_template, sizeof path);
    int fd = mkstemp(path);
    if (fd < 0)
        return nullptr;
    FILE *out = fdopen(fd, "w");
    if (!out) {
        close(fd);
        unlink(path);
        return nullptr;
    }
    // Block writes: a larger buffer than the file system's block saves calls.
    ostrel::Owned<char> out_buffer(static_cast<char *>(std::malloc(65536)));
    if (out_buffer)
        setvbuf(out, out_buffer.get(), _IOFBF, 65536);

    Spool spool{in, out, reinterpret_cast<const unsigned char *>(pattern.get()), b + 2};
    bool complete = !std::feof(in) && spool.copy();
    // The rest of the delimiter line ("--" or nothing, and its line end).
    if (complete && !std::feof(in))
        std::fgets(pattern.get(), static_cast<int>(b + 3), in);
    bool written = std::fclose(out) == 0 && !spool.failed;
    char *result = complete && written ? ostrel::copy_string(path) : nullptr;
    if (!result)
        unlink(path);
    return result;
}
