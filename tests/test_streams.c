/* The spool and the line reader over a stream with a byte pushed back
 * before anything was read, through stream buffers of a few bytes: built
 * with every C library, since each keeps that byte its own way (uClibc-ng
 * outside its buffer) and refills of one byte are where a reader that
 * overlooks it loops for ever.  Exits 0 when every case passes. */
#include "cgi/cgi.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char *what, size_t buffer)
{
    if (!ok) {
        fprintf(stderr, "FAILED: %s, buffer %zu\n", what, buffer);
        failures++;
    }
}

/* `input` behind a pipe, read through a buffer of `buffer` bytes (0: the C
 * library's own), with `pushed` pushed back first. */
static FILE *stream(const char *input, int pushed, size_t buffer, char *storage)
{
    int fds[2];
    FILE *in;
    if (pipe(fds) != 0)
        return NULL;
    if (write(fds[1], input, strlen(input)) != (ssize_t)strlen(input) || close(fds[1]) != 0)
        return NULL;
    in = fdopen(fds[0], "rb");
    if (!in)
        return NULL;
    if (buffer)
        setvbuf(in, storage, _IOFBF, buffer);
    if (ungetc(pushed, in) != pushed) {
        fclose(in);
        return NULL;
    }
    return in;
}

static int rest_is(FILE *in, const char *rest)
{
    char got[64];
    size_t n = fread(got, 1, sizeof got - 1, in);
    got[n] = '\0';
    return strcmp(got, rest) == 0;
}

/* The spool file holds `data`, and the stream the next line. */
static void spool(const char *input, int pushed, const char *data, size_t buffer)
{
    char storage[16], stored[64];
    FILE *in = stream(input, pushed, buffer, storage), *f;
    char *path;
    size_t n = 0;
    if (!in) {
        check(0, "a stream with a byte pushed back", buffer);
        return;
    }
    path = cgi_spool_part(in, "--XyZ");
    check(path != NULL, "spooled", buffer);
    if (path && (f = fopen(path, "rb"))) {
        n = fread(stored, 1, sizeof stored, f);
        fclose(f);
    }
    check(path && n == strlen(data) && memcmp(stored, data, n) == 0, "spooled data", buffer);
    check(rest_is(in, "rest\n"), "what the spool leaves", buffer);
    if (path)
        unlink(path);
    free(path);
    fclose(in);
}

static void lines(size_t buffer)
{
    char storage[16];
    FILE *in = stream("ET / HTTP/1.0\r\n\nnext\n", 'G', buffer, storage);
    const char *line;
    if (!in) {
        check(0, "a stream with a byte pushed back", buffer);
        return;
    }
    line = cgi_read_line(in);
    check(line && strcmp(line, "GET / HTTP/1.0") == 0, "line with the pushed byte", buffer);
    line = cgi_read_line(in);
    check(line && *line == '\0', "empty line", buffer);
    line = cgi_read_line(in);
    check(line && strcmp(line, "next") == 0, "line after", buffer);
    check(cgi_read_line(in) == NULL, "end of input", buffer);
    fclose(in);
}

int main(void)
{
    static const size_t buffers[] = {0, 1, 2, 3, 7, 16};
    size_t i;
    alarm(20); /* a reader that loops for ever fails here */
    for (i = 0; i < sizeof buffers / sizeof buffers[0]; i++) {
        spool("ata\r\n--XyZ\r\nrest\n", 'd', "data", buffers[i]);
        /* The pushed byte begins the delimiter, or a match that breaks. */
        spool("\n--XyZ\r\nrest\n", '\r', "", buffers[i]);
        spool("\n--XyQ\r\n--XyZ\r\nrest\n", '\r', "\r\n--XyQ", buffers[i]);
        spool("\r\n--XyZ\r\nrest\n", '\r', "\r", buffers[i]);
        lines(buffers[i]);
    }
    return failures ? 1 : 0;
}
