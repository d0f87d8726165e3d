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
        if (failed || n == 0 || over_limit(n))
            return;
        const char *b = static_cast<const char *>(bytes);
        if (n >= size / 8 && n >= page) {
            // Whole pages straight from the caller's bytes, at page-aligned
            // offsets (unaligned ones cost ext4 a quarter more time).  At
            // least a page: the small buffer's eighth may be shorter than the
            // head that aligns them.
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
    // The portable path reads into the buffer at `used`, behind `extra`
    // bytes kept there: room for `want` bytes in all, by writing the whole
    // pages where that makes enough, else everything.
    void make_room(size_t extra, size_t want)
    {
        if (size - used >= want)
            return;
        size_t n = used / page * page;
        if (size - (used - n) < want)
            n = used;
        if (!failed && n && !write_all(buffer, n))
            failed = true;
        written += n;
        used -= n;
        std::memmove(buffer, buffer + n, used + extra);
    }
    // n bytes read into the buffer at `used` are data.
    void keep(size_t n)
    {
        if (!failed)
            over_limit(n);
        used += n;
    }
    // Whether n more bytes would make the part longer than its limit; then
    // nothing more is stored and reading stops.
    bool over_limit(size_t n)
    {
        if (n <= max_bytes - written - used)
            return false;
        refused = CGI_REFUSED_FILE_BYTES;
        failed = true;
        return true;
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
    // How far a window of the pattern's length may move on when its last
    // byte is c (Horspool): from c's last place in the pattern, its last
    // byte left out, to the pattern's end; at most 255.  The pattern's own
    // last byte has 0 there, so that one test in the loop catches it; its
    // step is last_skip.
    unsigned char skip[256] = {};
    size_t last_skip = 0;

    void make_skips()
    {
        std::memset(skip, length < 255 ? static_cast<int>(length) : 255, sizeof skip);
        for (size_t i = length > 255 ? length - 255 : 0; i + 1 < length; i++)
            skip[pattern[i]] = static_cast<unsigned char>(length - 1 - i);
        last_skip = skip[pattern[length - 1]];
        skip[pattern[length - 1]] = 0;
    }

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

    // How far the next start of the delimiter lies from a window w[0,
    // length) that does not hold it, with n bytes from w on: at the
    // window's last CR after its first byte (the pattern holds none
    // there), else at the first CR past it.
    size_t past_window(const unsigned char *w, size_t n) const
    {
        const void *cr = std::memchr(w + 1, '\r', n - 1);
        size_t i = cr ? static_cast<size_t>(static_cast<const unsigned char *>(cr) - w) : n;
        if (i >= length)
            return i;
        i = length - 1;
        while (w[i] != '\r')
            i--;
        return i;
    }

    // Where in p[pos, n) the delimiter may start next (n: nowhere).  With no
    // CR in the pattern past its first byte (as in every valid boundary),
    // windows of the pattern's length are ruled out whole, mostly by their
    // last byte alone (Horspool), so that neither the C library's memmem
    // (a plain loop in some) nor its memchr (a word at a time in some) sees
    // every byte.  Where that moves on by less than an eighth of the window
    // (data made of the boundary's last bytes: the client chooses both),
    // the CRs tell.  Instructions per byte of an 8 MiB part (glibc, musl):
    // random bytes 0.26, 0.35; base64 text 0.41, 0.54; one letter of the
    // boundary 0.11, 1.4 (memmem: 0.33, 0.41; 0.34, 0.56; 0.30, 1.4).  Past
    // the last whole window, only the last CR can start it.
    size_t candidate(const unsigned char *p, size_t pos, size_t n) const
    {
        const size_t m = length, short_step = m / 8 > 2 ? m / 8 : 2;
        if (lone_cr && n - pos >= m) {
            for (const size_t end = n - m; pos <= end;) {
                size_t step = skip[p[pos + m - 1]];
                if (step < short_step) {
                    if (step == 0) { // the pattern's last byte
                        step = last_skip;
                        size_t k = p[pos] == '\r' ? matching(p + pos, m, 0) : 0;
                        if (k == m)
                            return pos;
                        step = k > step ? k : step;
                    }
                    if (step < short_step) {
                        size_t past = past_window(p + pos, n - pos);
                        step = past > step ? past : step;
                    }
                }
                pos += step;
            }
        }
        if (pos == n)
            return n;
        const void *cr = std::memchr(p + pos, '\r', n - pos);
        if (!cr)
            return n;
        if (!lone_cr)
            return static_cast<size_t>(static_cast<const unsigned char *>(cr) - p);
        while (p[--n] != '\r') {
        }
        return n;
    }

    // A window p[0, length) that neither holds the delimiter nor ends in
    // the start of one: its last byte is nowhere in the pattern.
    bool whole_data(const unsigned char *p) const { return skip[p[length - 1]] == length; }

    // What the bytes p[0, n), which follow a match of `held` bytes, decide.
    struct Decided {
        size_t released; // bytes of that match found to be data after all
        size_t data;     // bytes of p that are data, after those
        size_t end;      // bytes of p taken: past the delimiter, else n
    };
    // The match goes on, or breaks; then the data runs to the delimiter, or
    // to a match begun at p's end (held is its length), or to the end.
    // Only the byte that breaks a match may start a new one.
    Decided decide(const unsigned char *p, size_t n)
    {
        Decided d{0, 0, n};
        size_t pos = 0;
        if (held > 0) {
            size_t k = matching(p, n, held);
            held += k;
            if (held == length)
                d.end = k;
            if (held == length || k == n)
                return d;
            held -= k; // broken: its bytes and p[0, k) are data
            d.released = held;
            held = 0;
            pos = k;
        }
        for (size_t at; (at = candidate(p, pos, n)) < n;) {
            size_t k = matching(p + at, n - at, 0);
            if (k == length || at + k == n) {
                held = k;
                d.data = at;
                d.end = at + k;
                return d;
            }
            pos = at + k;
        }
        d.data = n;
        return d;
    }

    // Bytes that the stream holds already, a block at a time: writes the
    // data before the first place where the delimiter may start and
    // consumes it; a delimiter begun at the block's end is held (counted)
    // until a later block decides it.  True when the whole delimiter was
    // found there (and consumed).
    bool scan_buffered()
    {
        const unsigned char *p;
        size_t n = in.buffered(&p);
        if (n == 0)
            return false;
        Decided d = decide(p, n);
        out.write(pattern, d.released);
        out.write(p, d.data);
        in.consume(d.end);
        return held == length;
    }

    // Where the stream shows its buffer: blocks in place.  getc makes it
    // refill, and ungetc puts the byte back in front of the new block, but
    // uClibc-ng keeps it aside, and shows nothing, when the refill brought
    // that byte alone (or a byte was pushed back before anything was read):
    // then it is taken on its own.  False when the input ended first or a
    // limit was reached.
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

    // The common case in a loop of its own: while nothing is held, and
    // there is room, body and limit for a whole window, it is read and
    // found all data, mostly by its last byte alone.  Returns what the last
    // read got (at buffer + used) when it is not that: 0 when the loop read
    // nothing more.
    size_t read_windows()
    {
        unsigned char *start = reinterpret_cast<unsigned char *>(out.buffer + out.used), *p = start;
        size_t most = out.size - out.used;
        most = most < in.left ? most : in.left;
        size_t limit = out.max_bytes - out.written - out.used;
        most = out.failed || most < limit ? most : limit;
        FILE *f = in.in;
        size_t got = 0;
        while (most - static_cast<size_t>(p - start) >= length) {
            got = ostrel::stream_read(p, length, f);
            if (got < length || (!whole_data(p) && candidate(p, 0, length) < length))
                break;
            p += length;
            got = 0;
        }
        size_t kept = static_cast<size_t>(p - start);
        out.used += kept;
        in.took(kept + got);
        return got;
    }

    // Everywhere else: fread reads straight into the output buffer, never
    // past the delimiter's end.  Everything before a match begun at the end
    // of what was read (held bytes, kept in the buffer), or before that end,
    // is decided; a delimiter starting there or later ends at least
    // length - held bytes further on, so that many can be read.  A call
    // for 40 bytes costs glibc, musl and uClibc-ng 2.3 to 2.7 instructions
    // per byte (unlocked); a getc_unlocked loop 12 to 17, and uClibc-ng's
    // fgets copies a byte at a time.  Neither fgets nor memmem is needed.
    bool copy_reads()
    {
        while (!out.refused) {
            out.make_room(held, length);
            size_t room = out.size - out.used - held;
            if (room == 0) { // a pattern longer than the buffer
                if (match_rest())
                    return true;
                continue;
            }
            size_t used = out.used;
            size_t got = held == 0 ? read_windows() : 0;
            if (got == 0 && out.used != used)
                continue; // windows kept, up to the room, body or limit
            unsigned char *p = reinterpret_cast<unsigned char *>(out.buffer + out.used);
            if (got == 0) {
                size_t want = length - held;
                want = want < room ? want : room;
                want = want < in.left ? want : in.left; // no further than the body
                got = want ? ostrel::stream_read(p + held, want, in.in) : 0;
                in.took(got);
                if (got == 0)
                    return false;
            }
            Decided d = decide(p + held, got);
            out.keep(d.released + d.data);
            if (held == length)
                return true;
        }
        return false;
    }

    // Copies data up to the delimiter.  False when the input ended first.
    bool copy()
    {
        if (ostrel::stream_readahead)
            return copy_blocks();
        return copy_reads();
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
            return ostrel::out_of_memory("the delimiter of a long boundary");
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
    if (out.fd >= 0 && !buffer)
        ostrel::out_of_memory("the spool's write buffer; writing in small pieces");
    out.buffer = buffer ? buffer.get() : small_output;
    out.size = buffer ? large_output : sizeof small_output;

    Spool spool{in, out, reinterpret_cast<const unsigned char *>(pattern), b + 2,
                !std::memchr(pattern + 1, '\r', b + 1)};
    spool.make_skips();
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
