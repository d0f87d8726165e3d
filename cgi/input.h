// The request body as the readers see it: a stream, how many of its bytes
// still belong to the body, the request's limits, and why reading stopped.
// RFC 3875 (4.2): the script reads no more than CONTENT_LENGTH bytes, and
// the server need not end the input after them, so a reader that waited
// for end of input would wait for the client.  Not part of the public API.
#ifndef OSTREL_INPUT_H
#define OSTREL_INPUT_H

#include "cgi/cgi.h"
#include "cgi/stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace ostrel {

struct Input {
    FILE *in;
    size_t left = SIZE_MAX; // bytes of the body still to come; SIZE_MAX: to end of input
    // No CONTENT_LENGTH: left is the body limit, and the body must show
    // where it ends (its close delimiter) before left runs out.
    bool length_given = true;
    cgi_limits limits;
    int refusal = CGI_ACCEPTED;

    Input(FILE *stream, const cgi_limits &l) : in(stream), limits(l) {}

    // The stream's read-ahead, no further than the body goes.
    size_t buffered(const unsigned char **bytes) const
    {
        size_t n = stream_buffered(in, bytes);
        return n < left ? n : left;
    }
    void consume(size_t n)
    {
        stream_consume(in, n);
        took(n);
    }
    // n bytes were read through the stream's own calls.
    void took(size_t n) { left -= left == SIZE_MAX ? 0 : n; }
    int get()
    {
        if (left == 0)
            return EOF;
        int c = getc(in);
        if (c != EOF)
            took(1);
        return c;
    }
    void unget(int c)
    {
        std::ungetc(c, in);
        left += left == SIZE_MAX ? 0 : 1;
    }
    bool ended() const { return left == 0 || std::feof(in); }
    // Records why reading stops; false, for the caller to return.
    bool refuse(int why)
    {
        if (refusal == CGI_ACCEPTED)
            refusal = why;
        return false;
    }
};

// The limits in force (cgi_limits_setup), the defaults, and none at all
// (but the 64 spool files that can be kept track of).
const cgi_limits &current_limits();
const cgi_limits &default_limits();
const cgi_limits &no_limits();
// What cgi_refusal tells of the last read.
void set_refusal(int why);
// A level-1 trace line that names the limit a request was refused at.
void trace_refusal(int why, const cgi_limits &limits);

} // namespace ostrel

#endif
