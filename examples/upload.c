/*
 * upload.cgi: lists the files uploaded with a form, with their sizes and
 * types.  The library keeps each file in a spool file under /tmp until
 * cgi_free_request deletes it.
 */
#define _POSIX_C_SOURCE 200809L
#include <cgi/cgi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static int put_text(const char *text)
{
    char *safe = cgi_escape_html(text);

    if (!safe)
        return 0;
    fputs(safe, stdout);
    free(safe);
    return 1;
}

int main(void)
{
    const char *method = getenv("REQUEST_METHOD");
    cgi_request *req;
    const char *note;
    struct stat st;
    int ok = 1;
    size_t i;

    if (!method || (strcmp(method, "GET") != 0 && strcmp(method, "POST") != 0)) {
        fputs("Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n", stdout);
        cgi_emit_header();
        return 0;
    }
    req = cgi_read_request();
    note = cgi_get_value(req, "note");

    cgi_set_type("text/html; charset=utf-8");
    cgi_emit_header();
    puts("<!DOCTYPE html>\n<html><head><title>Upload</title></head><body>");
    if (note) {
        fputs("<p>Note: ", stdout);
        ok = put_text(note) && ok;
        puts("</p>");
    }
    if (req && req->uploads && req->uploads[0]) {
        puts("<table>\n<tr><th>Field</th><th>File</th><th>Type</th><th>Bytes</th></tr>");
        for (i = 0; req->uploads[i]; i++) {
            const cgi_upload *u = req->uploads[i];

            fputs("<tr><td>", stdout);
            ok = put_text(u->name) && ok;
            fputs("</td><td>", stdout);
            ok = put_text(u->filename) && ok;
            fputs("</td><td>", stdout);
            ok = put_text(u->type ? u->type : "unknown") && ok;
            if (stat(u->path, &st) == 0)
                printf("</td><td>%lld</td></tr>\n", (long long)st.st_size);
            else
                puts("</td><td>?</td></tr>");
        }
        puts("</table>");
    } else {
        puts("<p>No files.</p>");
    }
    puts("<form method=\"post\" enctype=\"multipart/form-data\">\n"
         "<input type=\"file\" name=\"file\" multiple> <input name=\"note\">\n"
         "<button>Upload</button>\n</form>\n</body></html>");

    cgi_free_request(req); /* deletes the spool files */
    return ok ? 0 : 1;
}
