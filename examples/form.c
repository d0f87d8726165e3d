/*
 * form.cgi: echoes the fields of a form sent with GET or POST.
 * Every value is HTML-escaped before it reaches the page.
 */
#include <cgi/cgi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Writes text escaped for element content; 0 when memory ran out. */
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
    const char *name;
    int ok = 1;
    size_t i;

    /* Only GET and POST carry a form; any other method would make the
     * reader wait for name=value lines from a console. */
    if (!method || (strcmp(method, "GET") != 0 && strcmp(method, "POST") != 0)) {
        fputs("Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n", stdout);
        cgi_emit_header();
        return 0;
    }
    req = cgi_read_request(); /* null: no fields at all */
    name = cgi_get_value(req, "name");

    cgi_set_type("text/html; charset=utf-8");
    cgi_emit_header();
    puts("<!DOCTYPE html>\n<html><head><title>Form</title></head><body>");
    fputs("<p>Hello, ", stdout);
    ok = put_text(name ? name : "stranger") && ok;
    puts(".</p>");

    if (req && req->variables && req->variables[0]) {
        puts("<dl>");
        for (i = 0; req->variables[i]; i++) {
            fputs("<dt>", stdout);
            ok = put_text(req->variables[i]->name) && ok;
            fputs("</dt><dd>", stdout);
            ok = put_text(req->variables[i]->value) && ok;
            puts("</dd>");
        }
        puts("</dl>");
    } else {
        puts("<p>No fields.</p>");
    }
    puts("<form method=\"post\">\n"
         "<input name=\"name\"> <textarea name=\"note\"></textarea>\n"
         "<button>Send</button>\n</form>\n</body></html>");

    cgi_free_request(req);
    return ok ? 0 : 1;
}
