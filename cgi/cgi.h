/*
 * ostrel: a small CGI request library.
 *
 * One request is read into one cgi_request; lookups hand out pointers into it,
 * valid until cgi_free_request.  Everything the library hands out or takes back
 * is allocated with malloc/calloc/realloc and released with free, so a C caller
 * may build records by hand.  Lists are arrays of pointers ending in a null
 * pointer; an absent list is a null pointer, a present one may be empty.
 * Results: null stands for absent, no input and out of memory alike; an
 * operation that records state returns 1 when done and 0 when not.
 */
#ifndef OSTREL_CGI_H
#define OSTREL_CGI_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* clang-format off: the declarations are aligned by hand, as a table */

#if defined(__GNUC__) || defined(__clang__)
#define CGI_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define CGI_PRINTF(fmt, args)
#endif

typedef struct cgi_var {
    char *name;
    char *value;
} cgi_var;
typedef struct cgi_cookie {
    char *version;
    char *name;
    char *value;
    char *path;
    char *domain;
} cgi_cookie;
typedef struct cgi_upload {
    char *name;
    char *type;
    char *filename;
    char *path;
} cgi_upload;
typedef struct cgi_request {
    cgi_var **variables;
    cgi_cookie **cookies;
    cgi_upload **uploads;
} cgi_request;

/* ---- Request record and lookups ---------------------------------------- */

/* Reads the whole request: form variables (cgi_read_form, with its effects
 * on CONTENT_TYPE and standard input's buffer), then, only when that gave a
 * record, the cookies.  Null when there was no input at all or memory ran
 * out. */
cgi_request *cgi_read_request(void);

/* First variable called exactly `name`; an empty value is returned as null.
 * Traces the result at level 1. */
const char *cgi_get_value(const cgi_request *req, const char *name);

/* First upload whose field name is exactly `name`, owned by the request.
 * Traces the result at level 1. */
cgi_upload *cgi_get_upload(const cgi_request *req, const char *name);

/* New lists of copies of all variable / upload field names, in list order;
 * null for a null request or list, or when memory runs out.  Release them
 * with cgi_free_list. */
char **cgi_variable_names(const cgi_request *req);
char **cgi_upload_names(const cgi_request *req);
void cgi_free_list(char **list);

/* Frees the record with everything in it, deletes its spool files and
 * resets the response state (content type, header lines).  Null: no-op. */
void cgi_free_request(cgi_request *req);

/* Deletes the spool files that are not yet released, and a file that the
 * process is storing through the library, freeing nothing: for a signal
 * handler of the program's own that then ends the process.  It is
 * async-signal-safe.  While such files exist, the library deletes them
 * itself when SIGTERM, SIGHUP, SIGINT, SIGPIPE, SIGALRM or SIGXFSZ ends the
 * process, for those of them whose disposition was the default one. */
void cgi_remove_spool_files(void);

/* ---- Limits ------------------------------------------------------------------ */

/* What one request may cost.  A reader that reaches a limit stops reading,
 * deletes what it spooled and refuses the whole request (null); cgi_refusal
 * then tells which limit it was.  Defaults (a device with 64 MiB): 256
 * fields, 4 files, 4 MiB a file, 64 KiB a value, 4 MiB a body, 2 MiB kept
 * free on /tmp. */
typedef struct cgi_limits {
    size_t fields;      /* variables of one request */
    size_t files;       /* file parts, spool files alive at once (at most 64) */
    size_t file_bytes;  /* data bytes of one file part */
    size_t value_bytes; /* bytes of one name or value */
    size_t body_bytes;  /* bytes of the whole body */
    size_t tmp_reserve; /* bytes the spool leaves free on its file system */
} cgi_limits;

/* Sets the limits of the reads that follow; a field of 0 keeps the current
 * value, a null argument restores every default.  files above 64 is 64. */
void cgi_limits_setup(const cgi_limits *limits);

/* Why the last read gave no request, when it was refused rather than empty. */
enum cgi_refusal_reason {
    CGI_ACCEPTED = 0,        /* not refused: no input, or out of memory */
    CGI_REFUSED_FIELDS,      /* more variables than limits.fields */
    CGI_REFUSED_FILES,       /* more file parts than limits.files */
    CGI_REFUSED_FILE_BYTES,  /* a file part longer than limits.file_bytes */
    CGI_REFUSED_VALUE_BYTES, /* a name, value or header line too long */
    CGI_REFUSED_BODY_BYTES,  /* a body (or CONTENT_LENGTH) above limits.body_bytes */
    CGI_REFUSED_TMP_RESERVE, /* the spool would eat into limits.tmp_reserve */
    CGI_REFUSED_UNFRAMED     /* no CONTENT_LENGTH, and a body that is not
                                plainly multipart (raw chunk framing) */
};
int cgi_refusal(void);

/* ---- Debug trace ----------------------------------------------------------- */

/* level <= 0 turns tracing off.  target: 1 standard error, 2 system log
 * (identity "ostrel"), above 2 the HTML page on standard output, 0 or below
 * keeps the current target. */
void cgi_debug_setup(int level, int target);

/* Writes one printf-style message when `level` is at most the debug level. */
void cgi_trace(int level, const char *format, ...) CGI_PRINTF(2, 3);

/* ---- Readers ----------------------------------------------------------------- */

/* Decodes %XX escapes in place; a "%" not followed by two hex digits is
 * dropped.  Zero-fills the storage behind the decoded text.  Returns text. */
char *cgi_decode(char *text);

/* Next line of `in` without its line end (LF, or CR LF), in a process-wide
 * buffer valid until the next call.  Null at end of input or on error; a last
 * line without a line feed is never returned. */
char *cgi_read_line(FILE *in);

/* Copies the data of one file part from `in` into a new spool file
 * "/tmp/ostrelXXXXXX", up to CR LF and `boundary` ("--" and the boundary
 * value), and consumes the rest of that delimiter line.  Returns the new
 * spool path, or null when no complete part could be stored (no file, write
 * error, or input ended before the delimiter); then no spool file is left. */
char *cgi_spool_part(FILE *in, const char *boundary);

/* Reads a multipart/form-data body from standard input.  Null when memory
 * ran out; then no spool file is left. */
cgi_request *cgi_read_multipart(const char *boundary);

/* Reads the form variables from a multipart body, a POST body, the query
 * string, or (no method) name=value lines typed at a console.  For a
 * multipart body it also alters the CONTENT_TYPE string in the environment
 * ("boundary=" becomes "boundar--") and gives standard input a buffer of
 * its own (setvbuf, which C allows only before stdin is first read). */
cgi_request *cgi_read_form(void);

/* ---- Cookies ------------------------------------------------------------------ */

/* Parses HTTP_COOKIE into a new list; null when it is not set. */
cgi_cookie **cgi_read_cookies(void);

/* First cookie called exactly `name`, owned by the request.  Traces the
 * result at level 1. */
cgi_cookie *cgi_get_cookie(const cgi_request *req, const char *name);

/* New list of copies of the cookie names; release with cgi_free_list. */
char **cgi_cookie_names(const cgi_request *req);

/* ---- Response output -------------------------------------------------------- */

/* Records an extra header line "name: value"; the name is cut at the first
 * space, colon, CR or LF, the value at the first CR or LF.  0 for a null or
 * empty argument or when memory runs out. */
int cgi_set_header(const char *name, const char *value);

/* Records the content type, cut at the first CR or LF.  0 for a null or
 * empty type (the old one stays) or when memory runs out (then unset). */
int cgi_set_type(const char *type);

/* Writes the header block: the content type (default text/html), the
 * recorded lines and the blank line. */
void cgi_emit_header(void);

/* Writes a complete 302 answer with a small page pointing to `url`.
 * Writes nothing for a null or empty url. */
void cgi_redirect(const char *url);

char *cgi_escape_html(const char *text); /* released with free() */

/* clang-format on */

#ifdef __cplusplus
}
#endif

#endif
