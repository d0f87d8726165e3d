/*
 * visits.cgi: counts a browser's visits in the cookie "visits".
 */
#include <cgi/cgi.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The count that the cookie holds; 0 when it is absent or not a count. */
static long previous_visits(const cgi_request *req)
{
    const cgi_cookie *c = cgi_get_cookie(req, "visits");
    char *end;
    long n;

    if (!c)
        return 0;
    errno = 0;
    n = strtol(c->value, &end, 10);
    if (errno || end == c->value || *end || n < 0 || n >= 1000000000L)
        return 0;
    return n;
}

int main(void)
{
    const char *method = getenv("REQUEST_METHOD");
    cgi_request *req;
    char cookie[80];
    long visits;

    if (!method || (strcmp(method, "GET") != 0 && strcmp(method, "POST") != 0)) {
        fputs("Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n", stdout);
        cgi_emit_header();
        return 0;
    }
    /* cgi_read_request reads the cookies only along with form fields: a
     * plain GET gives null, so the cookies are read into a record of our own. */
    req = cgi_read_request();
    if (!req && (req = calloc(1, sizeof *req)) != NULL)
        req->cookies = cgi_read_cookies();
    visits = previous_visits(req) + 1;

    snprintf(cookie, sizeof cookie, "visits=%ld; Path=/; Max-Age=31536000; HttpOnly", visits);
    cgi_set_type("text/html; charset=utf-8");
    if (!cgi_set_header("Set-Cookie", cookie))
        fputs("visits.cgi: out of memory, no cookie set\n", stderr);
    cgi_emit_header();
    printf("<!DOCTYPE html>\n<html><head><title>Visits</title></head><body>\n"
           "<p>Visit number %ld.</p>\n</body></html>\n",
           visits);

    cgi_free_request(req);
    return 0;
}
