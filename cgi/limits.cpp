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
    switch (why) {
    case CGI_REFUSED_FIELDS: cgi_trace(1, "Request refused: fields limit (%zu)", l.fields); break;
    case CGI_REFUSED_FILES: cgi_trace(1, "Request refused: files limit (%zu)", l.files); break;
    case CGI_REFUSED_FILE_BYTES: cgi_trace(1, "Request refused: file_bytes limit (%zu)", l.file_bytes); break;
    case CGI_REFUSED_VALUE_BYTES: cgi_trace(1, "Request refused: value_bytes limit (%zu)", l.value_bytes); break;
    case CGI_REFUSED_BODY_BYTES: cgi_trace(1, "Request refused: body_bytes limit (%zu)", l.body_bytes); break;
    case CGI_REFUSED_TMP_RESERVE: cgi_trace(1, "Request refused: tmp_reserve limit (%zu)", l.tmp_reserve); break;
    case CGI_REFUSED_UNFRAMED:
        cgi_trace(1, "Request refused: no CONTENT_LENGTH, and the body does not open with its boundary");
        break;
    default: break;
    }
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
