/* A CGI program in C that prints the request it reads, for the program-level
 * tests: variables, uploads with their spooled bytes, cookies, and the
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

int main(void)
{
    const char *type;
    cgi_request *req = cgi_read_request();
    size_t i;
    if (!req) {
        printf("no request\n");
        return 1;
    }
    for (i = 0; req->variables && req->variables[i]; i++)
        printf("var %s=%s\n", req->variables[i]->name, req->variables[i]->value);
    for (i = 0; req->uploads && req->uploads[i]; i++) {
        cgi_upload *u = req->uploads[i];
        printf("upload %s (%s, %s): ", u->name, u->filename, u->type ? u->type : "no type");
        print_file(u->path);
        printf("\n");
    }
    for (i = 0; req->cookies && req->cookies[i]; i++)
        printf("cookie %s=%s\n", req->cookies[i]->name ? req->cookies[i]->name : "(none)",
               req->cookies[i]->value ? req->cookies[i]->value : "(none)");
    type = getenv("CONTENT_TYPE");
    if (type)
        printf("CONTENT_TYPE=%s\n", type);
    cgi_free_request(req);
    return 0;
}
