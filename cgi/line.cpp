// Line reader over the shared input stream, into one process-wide buffer.
#include "cgi/internal.h"

#include <cstring>

namespace {
char *line_buffer;       // lives for the process
size_t line_capacity;
} // namespace

size_t ostrel::line_buffer_capacity() { return line_capacity; }

// Steps of 128 bytes while lines are short, then by half the capacity, so a
// line of megabytes costs few reallocations.
static size_t grown(size_t capacity)
{
    size_t step = capacity / 2 > 128 ? (capacity / 2 + 127) / 128 * 128 : 128;
    return capacity + step;
}

extern "C" char *cgi_read_line(FILE *in)
{
    if (!line_buffer) {
        line_buffer = static_cast<char *>(std::malloc(128));
        if (!line_buffer)
            return nullptr;
        line_capacity = 128;
    }
    line_buffer[0] = '\0';
    size_t length = 0;
    do {
        if (std::feof(in))
            return nullptr;
        // A piece ends at a line feed or after 127 bytes; its text ends at
        // its first NUL byte, so whatever follows a NUL in it is lost.
        char piece[128];
        if (!std::fgets(piece, sizeof piece, in))
            return nullptr;
        size_t n = std::strlen(piece);
        if (length + n + 1 > line_capacity) {
            size_t capacity = grown(line_capacity);
            char *p = static_cast<char *>(std::realloc(line_buffer, capacity));
            if (!p)
                return line_buffer; // what was gathered, unstripped
            line_buffer = p;
            line_capacity = capacity;
        }
        std::memcpy(line_buffer + length, piece, n + 1);
        length += n;
    } while (length == 0 || line_buffer[length - 1] != '\n');
    line_buffer[--length] = '\0';
    if (length > 0 && line_buffer[length - 1] == '\r')
        line_buffer[--length] = '\0';
    cgi_trace(4, "Read line '%s'", line_buffer);
    return line_buffer;
}
