// What one request may cost, and why the last one was refused.
#include "cgi/internal.h"

namespace {

// For a device with 64 MiB of memory and /tmp in it: a request holds at
// most a body in memory twice (a URL-encoded body and its values), so 4 MiB
// keeps any request under 16 MiB; 256 fields and 4 files are more than a
// device's forms have (PHP's 1000 and 20 serve whole web applications);
// 64 KiB is a long text area; 2 MiB of /tmp stays for the rest of the device.
const cgi_limits defaults = {256, 4, 4u << 20, 64u << 10, 4u << 20, 2u << 20};
const cgi_limits none = {SIZE_MAX, ostrel::max_spool_files, SIZE_MAX, SIZE_MAX, SIZE_MAX, 0};
cgi_limits limits = defaults;
int last_refusal = CGI_ACCEPTED;

} // namespace

namespace ostrel {

const cgi_limits &current_limits() { return limits; }
const cgi_limits &default_limits() { return defaults; }
const cgi_limits &no_limits() { return none; }

void set_refusal(int why) { last_refusal = why; }

void trace_refusal(int why, const cgi_limits &l)
{
    static const struct {
        int why;
        const char *name;
        size_t cgi_limits::*limit;
    } names[] = {
        {CGI_REFUSED_FIELDS, "fields", &cgi_limits::fields},
        {CGI_REFUSED_FILES, "files", &cgi_limits::files},
        {CGI_REFUSED_FILE_BYTES, "file_bytes", &cgi_limits::file_bytes},
        {CGI_REFUSED_VALUE_BYTES, "value_bytes", &cgi_limits::value_bytes},
        {CGI_REFUSED_BODY_BYTES, "body_bytes", &cgi_limits::body_bytes},
        {CGI_REFUSED_TMP_RESERVE, "tmp_reserve", &cgi_limits::tmp_reserve},
    };
    if (why == CGI_REFUSED_UNFRAMED)
        cgi_trace(1, "Request refused: no CONTENT_LENGTH, and the body does not open with its boundary");
    for (const auto &n : names)
        if (n.why == why)
            cgi_trace(1, "Request refused: %s limit (%zu)", n.name, l.*n.limit);
}

} // namespace ostrel

extern "C" void cgi_limits_setup(const cgi_limits *l)
{
    if (!l) {
        limits = defaults;
        return;
    }
    auto keep = [](size_t &field, size_t value) {
        if (value)
            field = value;
    };
    keep(limits.fields, l->fields);
    // A spool file's name is kept in a fixed slot until it is deleted.
    keep(limits.files, l->files < ostrel::max_spool_files ? l->files : ostrel::max_spool_files);
    keep(limits.file_bytes, l->file_bytes);
    keep(limits.value_bytes, l->value_bytes);
    keep(limits.body_bytes, l->body_bytes);
    keep(limits.tmp_reserve, l->tmp_reserve);
}

extern "C" int cgi_refusal(void) { return last_refusal; }
