// What a stream has read ahead and not yet handed out, so that the line
// reader and the spool can scan a block at a time instead of a byte at a
// time: stream_buffered() shows those bytes, stream_consume(n) hands out n
// of them.  Not part of the public API.
//
// The build tells which C library offers what (a configure check, not a
// guess from macros: uClibc-ng defines __GLIBC__ without glibc's stream
// fields):
//   OSTREL_HAVE_FREADPTR     __freadptr/__freadptrinc (musl's <stdio_ext.h>)
//   OSTREL_HAVE_IO_READ_PTR  glibc's _IO_read_ptr and _IO_read_end
//   OSTREL_HAVE_BUFREAD      uClibc-ng's __bufpos, __bufread, __modeflags
// With none of them, or with OSTREL_PORTABLE_STREAMS,
// stream_readahead is false and nothing is shown: callers then read through
// the standard calls alone.  The functions are static so that a file built
// portable may share a program with files that are not.
#ifndef OSTREL_STREAM_H
#define OSTREL_STREAM_H

#include <cstddef>
#include <cstdio>

#if !defined(OSTREL_PORTABLE_STREAMS) && defined(OSTREL_HAVE_FREADPTR)
#include <stdio_ext.h>
#endif

namespace ostrel {

#if !defined(OSTREL_PORTABLE_STREAMS) && defined(OSTREL_HAVE_FREADPTR)
constexpr bool stream_readahead = true;
static inline size_t stream_buffered(FILE *f, const unsigned char **bytes)
{
    size_t n = 0;
    const char *p = __freadptr(f, &n);
    *bytes = reinterpret_cast<const unsigned char *>(p);
    return p ? n : 0;
}
static inline void stream_consume(FILE *f, size_t n) { __freadptrinc(f, n); }
#elif !defined(OSTREL_PORTABLE_STREAMS) && defined(OSTREL_HAVE_IO_READ_PTR)
constexpr bool stream_readahead = true;
static inline size_t stream_buffered(FILE *f, const unsigned char **bytes)
{
    *bytes = reinterpret_cast<const unsigned char *>(f->_IO_read_ptr);
    return static_cast<size_t>(f->_IO_read_end - f->_IO_read_ptr);
}
static inline void stream_consume(FILE *f, size_t n) { f->_IO_read_ptr += n; }
#elif !defined(OSTREL_PORTABLE_STREAMS) && defined(OSTREL_HAVE_BUFREAD)
constexpr bool stream_readahead = true;
// uClibc-ng reads ahead into [__bufpos, __bufread), but a byte pushed back
// with ungetc may wait outside it (__FLAG_UNGOT; getc hands it out first):
// then, or when the stream is not reading narrow bytes, nothing is shown.
static inline size_t stream_buffered(FILE *f, const unsigned char **bytes)
{
    *bytes = f->__bufpos;
    if ((f->__modeflags & (__MASK_READING | __FLAG_WIDE)) != __FLAG_READING)
        return 0;
    return static_cast<size_t>(f->__bufread - f->__bufpos);
}
static inline void stream_consume(FILE *f, size_t n) { f->__bufpos += n; }
#else
constexpr bool stream_readahead = false;
static inline size_t stream_buffered(FILE *, const unsigned char **) { return 0; }
static inline void stream_consume(FILE *, size_t) {}
#endif

// n > 0 bytes through fread, the first through getc: uClibc-ng's fread
// reads what its buffer lacks straight from the file and never refills the
// buffer, a system call for every small read (1.9 s instead of 50 ms for
// 16 MiB in reads of 39 bytes); getc refills it.  Without the stream's lock
// where the C library has that (OSTREL_HAVE_FREAD_UNLOCKED): the library
// reads its streams in one thread.
static inline size_t stream_read(void *to, size_t n, FILE *f)
{
#ifdef OSTREL_HAVE_FREAD_UNLOCKED
    int c = getc_unlocked(f);
#else
    int c = std::getc(f);
#endif
    if (c == EOF)
        return 0;
    unsigned char *bytes = static_cast<unsigned char *>(to);
    bytes[0] = static_cast<unsigned char>(c);
#ifdef OSTREL_HAVE_FREAD_UNLOCKED
    return 1 + fread_unlocked(bytes + 1, 1, n - 1, f);
#else
    return 1 + std::fread(bytes + 1, 1, n - 1, f);
#endif
}

} // namespace ostrel

#endif
