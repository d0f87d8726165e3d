// faxsnd.cgi: a stand-in for the device's fax-sending page.  faxupload.cgi
// redirects here with action=upload, work=ok and, when it stored the document,
// faxfile=<path>; this page shows what was stored, or that nothing was.
#include "cgi/cgi.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Writes text into the page; everything that came from the request goes
// through here.  Nothing is written when memory runs out.
void put_text(const char *text)
{
    char *escaped = cgi_escape_html(text);
    if (escaped)
        std::fputs(escaped, stdout);
    std::free(escaped);
}

// faxupload.cgi stores directly under /tmp/: anything else in faxfile is not
// one of its documents, and is not looked at.
bool is_stored_path(const char *path)
{
    return std::strncmp(path, "/tmp/", 5) == 0 && path[5] && !std::strchr(path + 5, '/') && !std::strstr(path, "..");
}

void show_row(const char *label, const char *text)
{
    std::printf("<tr><th>%s</th><td>", label);
    put_text(text);
    std::fputs("</td></tr>\n", stdout);
}

// The stored name is "<receiver>.<client file name>.sff"; a receiver holding
// a "." cannot be told apart, so the split is at the first ".".
void show_stored(const char *path, const struct stat &st)
{
    char name[256];
    std::snprintf(name, sizeof name, "%s", path + 5);
    size_t len = std::strlen(name);
    if (len > 4 && std::strcmp(name + len - 4, ".sff") == 0)
        name[len - 4] = '\0';
    char *dot = std::strchr(name, '.');
    const char *document = "";
    if (dot) {
        *dot = '\0';
        document = dot + 1;
    }
    char size[32];
    std::snprintf(size, sizeof size, "%lld bytes", static_cast<long long>(st.st_size));

    std::fputs("<p class=\"ok\">The fax document was stored and is ready to send.</p>\n<table>\n", stdout);
    show_row("Receiver", name);
    show_row("Document", document);
    show_row("Stored as", path);
    show_row("Size", size);
    std::fputs("</table>\n", stdout);
}

void show_failure(const char *message, const char *path)
{
    std::printf("<p class=\"failed\">%s", message);
    if (path) {
        std::fputs(": ", stdout);
        put_text(path);
    }
    std::fputs("</p>\n", stdout);
}

} // namespace

int main()
{
    cgi_request *req = cgi_read_request();
    const char *action = cgi_get_value(req, "action");
    const char *faxfile = cgi_get_value(req, "faxfile");

    cgi_set_type("text/html; charset=utf-8");
    cgi_emit_header();
    std::fputs("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
               "<title>Send fax</title>\n"
               "<style>body { font-family: sans-serif; margin: 2em; }\n"
               "th { text-align: left; padding-right: 1em; }\n"
               ".ok { color: #060; } .failed { color: #a00; }</style>\n"
               "</head>\n<body>\n<h1>Send fax</h1>\n",
               stdout);

    struct stat st;
    if (!action || std::strcmp(action, "upload") != 0)
        show_failure("No upload to show", nullptr);
    else if (!faxfile)
        show_failure("The upload failed: no document was stored", nullptr);
    else if (!is_stored_path(faxfile))
        show_failure("Not a stored fax document", faxfile);
    else if (lstat(faxfile, &st) != 0 || !S_ISREG(st.st_mode))
        show_failure("The stored document is gone", faxfile);
    else
        show_stored(faxfile, st);

    std::fputs("<p><a href=\"./\">Upload another document</a></p>\n</body>\n</html>\n", stdout);
    cgi_free_request(req);
    return 0;
}
