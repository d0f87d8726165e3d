// Line reader over the shared input stream, into one process-wide buffer.
#include "cgi/internal.h"

#include <cstring>

namespace {
char *line_buffer; // lives for the process
size_t line_capacity;

// Lines are read in pieces of at most what a 128-byte fgets buffer holds,
// and the buffer grows in steps of 128 while lines are short.
constexpr size_t piece_size = 128;
constexpr size_t piece_most = piece_size - 1; // and the NUL
constexpr size_t step = 128;
} // namespace

size_t ostrel::line_buffer_capacity() { return line_capacity; }

// Steps of `step` bytes while lines are short, then by half the capacity, so
// that a line of megabytes costs few reallocations.
size_t ostrel::grown_line_capacity(size_t capacity)
{
    size_t half = capacity / 2;
    return capacity + (half > step ? (half + step - 1) / step * step : step);
}

// One piece: at most piece_most bytes, up to and including a line feed.
// Where the stream's buffer holds the whole piece, it is used in place (and
// consumed); otherwise it is read into `spare` a byte at a time, no further
// than the body goes.  *text is the length of the piece's text, which ends
// at its first NUL byte.  Null when nothing could be read.
static const char *next_piece(ostrel::Input &input, char (&spare)[piece_size], size_t *text)
{
    const unsigned char *p;
    size_t n = input.buffered(&p);
    if (n > 0) {
        size_t limit = n < piece_most ? n : piece_most;
        const void *lf = std::memchr(p, '\n', limit);
        if (lf || limit == piece_most) {
            size_t piece = lf ? static_cast<size_t>(static_cast<const unsigned char *>(lf) - p) + 1 : piece_most;
            const char *bytes = reinterpret_cast<const char *>(p);
            *text = strnlen(bytes, piece);
            input.consume(piece);
            return bytes;
        }
    }
    size_t got = 0;
    for (int c; got < piece_most && (c = input.get()) != EOF;) {
        spare[got++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (got == 0)
        return nullptr;
    *text = strnlen(spare, got);
    return spare;
}

// A lone LF ends a line too, where RFC 2046 has CR LF alone: bodies typed or
// passed on by tools without CR are read all the same.
char *ostrel::read_line(Input &input, size_t max_length, const char **cut)
{
    if (cut)
        *cut = nullptr;
    if (!line_buffer) {
        line_buffer = static_cast<char *>(std::malloc(step));
        if (!line_buffer)
            return ostrel::out_of_memory("the line buffer");
        line_capacity = step;
    }
    line_buffer[0] = '\0';
    size_t length = 0;
    do {
        if (input.ended()) {
            if (cut && length > 0)
                *cut = line_buffer;
            return nullptr;
        }
        // Whatever follows a NUL in a piece is lost, line feed included.
        char spare[piece_size];
        size_t n;
        const char *piece = next_piece(input, spare, &n);
        if (!piece)
            return nullptr;
        if (length + n > max_length) {
            input.refuse(CGI_REFUSED_VALUE_BYTES);
            return nullptr;
        }
        if (length + n + 1 > line_capacity) {
            size_t capacity = grown_line_capacity(line_capacity);
            char *p = static_cast<char *>(std::realloc(line_buffer, capacity));
            if (!p) {
                out_of_memory("a longer line");
                return line_buffer; // what was gathered, unstripped
            }
            line_buffer = p;
            line_capacity = capacity;
        }
        std::memcpy(line_buffer + length, piece, n);
        length += n;
        line_buffer[length] = '\0';
    } while (length == 0 || line_buffer[length - 1] != '\n');
    line_buffer[--length] = '\0';
    if (length > 0 && line_buffer[length - 1] == '\r')
        line_buffer[--length] = '\0';
    cgi_trace(4, "Read line '%s'", line_buffer);
    return line_buffer;
}

extern "C" char *cgi_read_line(FILE *in)
{
    ostrel::Input input(in, ostrel::current_limits());
    return ostrel::read_line(input, SIZE_MAX);
}
