/* A CGI program in C that prints the request it reads, for the program-level
 * tests, in the text of test::describe (tests/support.h), and then the
 * CONTENT_TYPE value as the readers leave it. */
#include "cgi/cgi.h"

#include <stdlib.h>

static void print_file(const char *path)
{
    FILE *f = fopen(path, "rb");
    int c;
    if (!f)
        return;
    while ((c = getc(f)) != EOF)
        putchar(c);
    fclose(f);
}

static const char *text(const char *s) { return s ? s : "(none)"; }

int main(void)
{
    const char *type;
    cgi_request *req = cgi_read_request();
    size_t i;
    if (!req) {
        printf("no request\n");
        return 1;
    }
    if (req->variables && !req->variables[0])
        printf("no variables\n");
    for (i = 0; req->variables && req->variables[i]; i++)
        printf("var %s=%s\n", req->variables[i]->name, req->variables[i]->value);
    if (req->uploads && !req->uploads[0])
        printf("no uploads\n");
    for (i = 0; req->uploads && req->uploads[i]; i++) {
        cgi_upload *u = req->uploads[i];
        printf("upload %s (%s, %s): ", u->name, u->filename, u->type ? u->type : "no type");
        print_file(u->path);
        printf("\n");
    }
    if (req->cookies && !req->cookies[0])
        printf("no cookies\n");
    for (i = 0; req->cookies && req->cookies[i]; i++) {
        cgi_cookie *c = req->cookies[i];
        printf("cookie %s=%s", text(c->name), text(c->value));
        if (c->version)
            printf(" $Version=%s%s", c->version, i > 0 && c->version == req->cookies[0]->version ? " (shared)" : "");
        if (c->path)
            printf(" $Path=%s", c->path);
        if (c->domain)
            printf(" $Domain=%s", c->domain);
        printf("\n");
    }
    type = getenv("CONTENT_TYPE");
    if (type)
        printf("CONTENT_TYPE=%s\n", type);
    cgi_free_request(req);
    return 0;
}
