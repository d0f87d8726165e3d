// Spooling one file part from the input stream into "/tmp/ostrelXXXXXX".
//
// The data ends at the first CR LF + boundary.  Bytes that match the start of
// that delimiter are held back (only their count: they are the delimiter's
// own first bytes) until the match completes or breaks; then they are data.
// Only the byte that breaks a match may start a new one: a match is never
// resumed inside the bytes it held, which makes no difference for a boundary
// without CR (every valid one).  Nothing is read beyond what the data and its
// delimiter line consume, since the line reader takes the next part's
// headers from the same stream.
#include "cgi/internal.h"

#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const char spool_template[] = "/tmp/ostrelXXXXXX";

// The spool file's descriptor and a buffer of its own.  Short stretches
// gather in the buffer until the next one does not fit; a stretch of an
// eighth of its size or more goes straight from where it lies (the input
// stream's buffer), which saves copying it, in whole pages at page-aligned
// offsets.
struct Output {
    int fd = -1;
    char *buffer = nullptr;
    size_t size = 0;
    size_t used = 0;
    size_t written = 0; // bytes in the file
    size_t defined = 0; // bytes of the buffer ever written (portable path)
    static const size_t page = 4096;
    bool failed = false;         // a write failed: keep consuming, store nothing
    size_t max_bytes = SIZE_MAX; // of the part
    size_t reserve = 0;          // bytes left free on the file system
    int refused = CGI_ACCEPTED;  // a limit was reached: stop reading

    // Asked of the file system once for each write, not for each byte.
    bool room_for(size_t n) const
    {
        struct statvfs fs;
        if (reserve == 0 || fstatvfs(fd, &fs) != 0)
            return true;
        unsigned long long available = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
        return available >= static_cast<unsigned long long>(n) + reserve;
    }
    bool write_all(const char *bytes, size_t n)
    {
        if (!room_for(n)) {
            refused = CGI_REFUSED_TMP_RESERVE;
            return false;
        }
        while (n > 0) {
            ssize_t w = ::write(fd, bytes, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            bytes += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    void flush()
    {
        if (!failed && used && !write_all(buffer, used))
            failed = true;
        written += used;
        used = 0;
    }
    void write(const void *bytes, size_t n)
    {
        if (failed || n == 0)
            return;
        if (n > max_bytes - written - used) {
            refused = CGI_REFUSED_FILE_BYTES;
            failed = true;
            return;
        }
        const char *b = static_cast<const char *>(bytes);
        if (n >= size / 8) {
            // Whole pages straight from the caller's bytes, at page-aligned
            // offsets (unaligned ones cost ext4 a quarter more time).
            size_t head = (page - (written + used) % page) % page;
            if (head > size - used) {
                flush();
                head = (page - written % page) % page;
            }
            std::memcpy(buffer + used, b, head);
            used += head;
            flush();
            size_t body = (n - head) / page * page;
            if (!failed && !write_all(b + head, body))
                failed = true;
            written += body;
            b += head + body;
            n -= head + body;
        } else if (n > size - used) {
            flush();
        }
        std::memcpy(buffer + used, b, n);
        used += n;
    }
    bool close_file()
    {
        flush();
        return ::close(fd) == 0 && !failed;
    }
};

struct Spool {
    ostrel::Input &in;
    Output &out;
    const unsigned char *pattern; // CR LF and the boundary
    size_t length;                // of the pattern
    bool lone_cr;                 // no CR in the pattern after its first byte
    size_t held = 0;              // pattern bytes matched so far

    // The one place that decides: how many of the n bytes at p go on with
    // the delimiter after its first `from` bytes.  Every path below only
    // finds where a match may start and then asks this.
    size_t matching(const unsigned char *p, size_t n, size_t from) const
    {
        size_t k = 0;
        while (from + k < length && k < n && p[k] == pattern[from + k])
            k++;
        return k;
    }

    void release_held()
    {
        out.write(pattern, held);
        held = 0;
    }

    // Where in p[pos, n) the delimiter may start next (n: nowhere).  With no
    // CR in the pattern past its first byte (as in every valid boundary), no
    // CR before the pattern's first whole occurrence, or before the last
    // length - 1 bytes, can start it, so memmem skips to there first.
    size_t candidate(const unsigned char *p, size_t pos, size_t n) const
    {
        if (lone_cr) {
            const void *found = memmem(p + pos, n - pos, pattern, length);
            if (found)
                return static_cast<size_t>(static_cast<const unsigned char *>(found) - p);
            if (n - pos > length - 1)
                pos = n - (length - 1);
        }
        const void *cr = std::memchr(p + pos, '\r', n - pos);
        return cr ? static_cast<size_t>(static_cast<const unsigned char *>(cr) - p) : n;
    }

    // Bytes that the stream holds already, a block at a time: writes the
    // data before the first place where the delimiter may start and
    // consumes it; a delimiter begun at the block's end is held (counted)
    // until a later block decides it.  True when the whole delimiter was
    // found there (and consumed).
    bool scan_buffered()
    {
        const unsigned char *p;
        size_t n = in.buffered(&p), pos = 0;
        if (n == 0)
            return false;
        if (held > 0) { // the match that the last block ended in goes on
            size_t k = matching(p, n, held);
            if (held + k == length) {
                in.consume(k);
                return true;
            }
            if (k == n) {
                held += k;
                in.consume(n);
                return false;
            }
            release_held(); // p[0..k) follow as data
            pos = k;        // the breaking byte may start a match itself
        }
        for (size_t at; (at = candidate(p, pos, n)) < n;) {
            size_t k = matching(p + at, n - at, 0);
            if (k == length) { // the delimiter
                out.write(p, at);
                in.consume(at + length);
                return true;
            }
            if (at + k == n) { // undecided until more input arrives
                out.write(p, at);
                in.consume(n);
                held = k;
                return false;
            }
            pos = at + k; // the breaking byte may start a match itself
        }
        out.write(p, n);
        in.consume(n);
        return false;
    }

    // Where the stream shows its buffer: blocks in place.  getc makes it
    // refill, and ungetc puts the byte back in front of the new block, but
    // uClibc-ng keeps it aside, and shows nothing, when the refill brought
    // that byte alone (or a byte was pushed back before anything was read):
    // then it is taken on its own.  False when the input ended first or a limit was reached.
    bool copy_blocks()
    {
        const unsigned char *p;
        while (!scan_buffered()) {
            if (out.refused)
                return false;
            int c = in.get();
            if (c == EOF) {
                release_held();
                return false;
            }
            in.unget(c);
            if (in.buffered(&p) == 0 && take_byte())
                return true;
        }
        return true;
    }

    // The next byte through getc: data, or the start or the next byte of
    // a match.  True when it completes the delimiter.
    bool take_byte()
    {
        if (held > 0)
            return match_rest();
        int c = in.get();
        if (c == pattern[0]) {
            held = 1;
            return match_rest();
        }
        if (c != EOF) {
            unsigned char b = static_cast<unsigned char>(c);
            out.write(&b, 1);
        }
        return false;
    }

    // Goes on with a match through getc, a byte at a time; the byte that
    // breaks it is pushed back (one byte, as ungetc guarantees).  True when
    // the delimiter is complete.
    bool match_rest()
    {
        while (held < length) {
            int c = in.get();
            if (c == EOF) {
                release_held();
                return false;
            }
            unsigned char b = static_cast<unsigned char>(c);
            if (matching(&b, 1, held) == 0) {
                release_held();
                in.unget(c);
                return false;
            }
            held++;
        }
        return true;
    }

    // Everywhere else: fgets reads the data straight into the output buffer,
    // a piece up to and including LF.  The delimiter's second byte is LF, so
    // only a CR just before a piece's LF, or at the end of a full piece, can
    // start it.  fgets does not tell how many bytes it read, and the data may
    // hold NUL bytes, but it stops only after LF or when the piece is full:
    // any other piece is the input's last, and then the part is dropped.
    bool copy_pieces()
    {
        const size_t chunk = 1 << 14;
        while (!out.refused && in.left > 0) {
            if (out.size - out.used < 64)
                out.flush();
            size_t space = out.size - out.used < chunk ? out.size - out.used : chunk;
            if (space - 1 > in.left) // no further than the body
                space = in.left + 1;
            // Bytes behind the data are looked at: give them a value once.
            size_t from = out.defined > out.used ? out.defined : out.used;
            if (from < out.used + space) {
                std::memset(out.buffer + from, 0, out.used + space - from);
                out.defined = out.used + space;
            }
            char *piece = out.buffer + out.used;
            if (!std::fgets(piece, static_cast<int>(space), in.in))
                return false;
            const char *lf = static_cast<const char *>(std::memchr(piece, '\n', space - 1));
            size_t n = lf ? static_cast<size_t>(lf - piece) + 1 : space - 1;
            in.took(n);
            size_t at = lf && n >= 2 ? n - 2 : n - 1;
            size_t k = matching(reinterpret_cast<const unsigned char *>(piece) + at, n - at, 0);
            held = k == n - at ? k : 0; // a match broken inside the piece is data
            size_t data = n - held;
            if (data > out.max_bytes - out.written - out.used) {
                out.refused = CGI_REFUSED_FILE_BYTES;
                out.failed = true;
            }
            if (!out.failed)
                out.used += data;
            if (held > 0 && match_rest())
                return true;
        }
        return false;
    }

    // Copies data up to the delimiter.  False when the input ended first.
    bool copy()
    {
        if (ostrel::stream_readahead)
            return copy_blocks();
        return copy_pieces();
    }
};

} // namespace

// What follows the delimiter: "--" closes the body, and then nothing more is
// read (RFC 2046: what follows is the epilogue, to be ignored); else the
// rest of its line.  RFC 2046 allows any transport padding before that line
// end; at most `most` bytes are taken here, and the line reader reads what
// is left as a line of the next part's header, where it is ignored.
static bool close_delimiter(ostrel::Input &in, size_t most)
{
    int c = in.get();
    size_t n = 1;
    if (c == '-') {
        c = in.get();
        n++;
        if (c == '-')
            return true;
    }
    for (; c != EOF && c != '\n' && n < most; n++)
        c = in.get();
    return false;
}

char *ostrel::spool_part(Input &in, const char *boundary, bool *closed)
{
    *closed = false;
    size_t b = std::strlen(boundary);
    // The delimiter pattern; a boundary of usual length needs no allocation.
    char small[128];
    ostrel::Owned<char> large;
    char *pattern = small;
    if (b + 3 > sizeof small) {
        large.reset(static_cast<char *>(std::malloc(b + 3)));
        if (!large)
            return nullptr;
        pattern = large.get();
    }
    std::memcpy(pattern, "\r\n", 2);
    std::memcpy(pattern + 2, boundary, b + 1);

    char path[sizeof spool_template];
    std::memcpy(path, spool_template, sizeof path);
    // 256 KiB: a large document took 15 to 20% less time than with 32 or
    // 64 KiB writes (bench/run on ext4), for 192 KiB more memory.  Without
    // it, or without a spool file, a small buffer does: the data is still
    // consumed up to its delimiter, since left on the stream it would be
    // read as the headers of further parts.
    const size_t large_output = 1 << 18;
    char small_output[4096];
    Output out;
    out.fd = ostrel::create_file(path, true);
    out.failed = out.fd < 0;
    out.max_bytes = in.limits.file_bytes;
    out.reserve = in.limits.tmp_reserve;
    ostrel::Owned<char> buffer(out.fd >= 0 ? static_cast<char *>(std::malloc(large_output)) : nullptr);
    out.buffer = buffer ? buffer.get() : small_output;
    out.size = buffer ? large_output : sizeof small_output;

    Spool spool{in, out, reinterpret_cast<const unsigned char *>(pattern), b + 2,
                !std::memchr(pattern + 1, '\r', b + 1)};
    bool complete = !in.ended() && spool.copy();
    if (complete)
        *closed = close_delimiter(in, b + 2);
    if (out.fd < 0)
        return nullptr;
    bool written = out.close_file();
    if (out.refused)
        in.refuse(out.refused);
    char *result = complete && written ? ostrel::copy_string(path) : nullptr;
    if (!result)
        ostrel::remove_file(path);
    return result;
}

extern "C" char *cgi_spool_part(FILE *in, const char *boundary)
{
    ostrel::Input input(in, ostrel::current_limits());
    bool closed;
    return ostrel::spool_part(input, boundary, &closed);
}
